#pragma once
// A TCP peer that a test scripts: it listens on a loopback address, accepts a connection and
// plays its steps there on a thread of its own (send this, wait for that, close ...). Every step
// waits at most kDeadline; a step that fails ends the script. The peer stops with its object.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace support {

// The answer to one request of AnswerRequests.
struct Reply {
  std::string bytes;   // sent as they are
  bool close = false;  // close the connection after sending
  bool reset = false;  // close with a reset instead
};

class TcpPeer {
 public:
  // Listens on ip:port (0: a port of the system's choosing). A peer on a port of the system's
  // choosing that cannot listen fails the test; on a fixed port Ok() tells.
  explicit TcpPeer(const std::string& ip, int port = 0);
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  bool Ok() const { return listener_.Ok(); }
  const std::string& Error() const { return listener_.Error(); }
  const std::string& Ip() const { return listener_.Ip(); }
  int Port() const { return listener_.Port(); }
  // An http URL of this peer.
  std::string Url(const std::string& path = "/download/MAC.CSV") const;

  // --- steps, played in order once a connection is accepted ---
  TcpPeer& Send(std::string bytes);
  // Reads into Received() until the client closes.
  TcpPeer& RecvUntilClose();
  // Waits until the client has taken everything sent so far off its socket (its descriptor is
  // given with ClientSocket), so that the next Send arrives in a receive of its own.
  TcpPeer& WaitTaken();
  // Waits until the test has called Signal() n times in all.
  TcpPeer& WaitSignal(int n);
  TcpPeer& Close();
  // Closes with a reset instead of the orderly close.
  TcpPeer& Reset();
  // Answers each request (read up to its empty line) with the next reply, byte for byte, on the
  // connection it came on; a new connection is taken as it comes. Requests beyond the replies
  // are kept, not answered, until the peer stops.
  TcpPeer& AnswerRequests(std::vector<Reply> replies);

  // Starts accepting and playing the steps.
  void Start();
  void ClientSocket(int fd) { clientFd_.store(fd); }
  void Signal();
  // Waits until the steps have all run; false when one failed or they did not end in time.
  bool WaitDone(std::chrono::milliseconds deadline = kDeadline);

  std::string Received();
  std::vector<std::string> Requests();  // as AnswerRequests read them, each with its empty line
  int Connections() const { return connections_.load(); }

 private:
  TcpPeer& Step(std::function<bool()> step);
  bool Aborted();
  bool Accept(std::chrono::milliseconds deadline);
  bool Answer(const std::vector<Reply>& replies);
  void Run();
  void Keep(std::string& bytes);

  TcpListener listener_;
  TcpConn conn_;  // the peer thread's only
  std::atomic<int> clientFd_{-1};
  std::atomic<int> connections_{0};
  std::vector<std::function<bool()>> steps_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int signals_ = 0;
  bool aborted_ = false;
  bool done_ = false;
  bool ok_ = false;
  std::string received_;
  std::vector<std::string> requests_;
};

}  // namespace support
