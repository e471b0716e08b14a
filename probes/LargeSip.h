#pragma once
// Large SIP messages, both ways: a real INVITE or its answer is 2,000 to 4,000 bytes, more than
// one IP fragment over UDP, and many routers drop fragments or reassemble them and then fail to
// rewrite them. The tester sends large INVITEs up (echoed and compared as the small probes are),
// and asks the server for large answers down (proto/LargeSipWire.h). Plain code: the message,
// its comparison, the verdict per size and direction, and the lines that say them.
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/LargeSipWire.h"

enum class TLargeResult { NotTested, Arrived, Changed, Lost };
// "arrived", "changed", "lost"; "" for NotTested.
const char* LargeResultName(TLargeResult result);

// One size, one way.
struct TLargeSize {
  int Bytes = 0;
  TLargeResult Result = TLargeResult::NotTested;
  int ChangedLines = 0;   // Changed: the lines that differ
  int ReceivedBytes = 0;  // what the far end got, when it got it
  bool Cut = false;       // Changed: what came is the start of what went, cut short
  std::string Why = {};   // NotTested: why, in words
};

// One way on one port, by size (smallest first); the largest tested decides.
struct TLargeWay {
  std::vector<TLargeSize> Sizes;
  const TLargeSize* Deciding() const;
};

struct TLargePort {
  int Port = 0;  // the nominal port (5060 stands for the server's SIP port)
  TLargeWay Up, Down;
};

struct TLargeSipReport {
  bool Ran = false;
  std::vector<TLargePort> Udp;  // 5060, 5058; both ways
  std::vector<TLargePort> Tcp;  // 5060, 5058; up only
  const TLargePort* UdpOn(int port) const;
};

// A large INVITE as a softphone with video and ICE sends it, exactly `bytes` long (when it can be
// that short): the small INVITE's lines with more headers and a large SDP offer announcing
// audioPort (and audioPort + 2 for video). Its request line names the size, so its echo is told
// apart from the small INVITE's.
std::string BuildLargeInvite(const std::string& token, int remotePort, const std::string& localIp, int localPort,
                             int audioPort, int bytes, bool overTcp);

// Receives one line for the log pane.
using TLargeLog = std::function<void(const std::string&)>;

// Compares what came with what went, line by line by position, as the small probes are
// compared; logs a Sent/Rcvd pair for each line that differs (the first few of them).
struct TLargeCompare {
  int Changed = 0;   // lines that differ (a line missing at the end counts)
  bool Cut = false;  // what came is the start of what went, shorter
};
TLargeCompare CompareLarge(const std::string& sent, const std::string& received, const std::string& what,
                           const TLargeLog& log);

// The verdict for one size: `received` is what the far end got (nullopt: nothing came).
TLargeSize LargeVerdict(int bytes, const std::string& sent, const std::optional<std::string>& received,
                        const std::string& what, const TLargeLog& log);

// Which way and how a line speaks of.
enum class TLargePath { UdpUp, UdpDown, TcpUp };
// The line for one size ("Large SIP over UDP to port 5060: 4,000 bytes (3 fragments) arrived
// unchanged", ...).
std::string LargeSipLine(TLargePath path, int port, const TLargeSize& size);
// The SIP pane's lines of a run: every size of every way and port.
std::vector<std::string> LargeSipPaneLines(const TLargeSipReport& report);
// The summary's: per port and way the deciding size, and a smaller size that fared otherwise.
std::vector<std::string> LargeSipSummaryLines(const TLargeSipReport& report);
// Advice where fragments were lost, or a large message was changed.
std::vector<std::string> LargeSipAdvice(const TLargeSipReport& report);

// 4000 -> "4,000".
std::string WithThousands(long long n);

// The answers that reached the SIP sockets, kept by the receive threads until the sequence
// takes them.
class TLargeDownInbox {
 public:
  // A datagram on the socket of nominal port `socket`; true when it is an answer and is kept.
  bool Offer(int socket, std::string_view datagram);
  std::vector<std::string> Take(int socket);
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> kept_;
};
