#include "tests/support/TcpPeer.h"

#include <sys/ioctl.h>

#include <gtest/gtest.h>

namespace support {

namespace {

constexpr std::chrono::milliseconds kSlice{20};  // how soon a waiting peer notices its end

// Bytes waiting in a socket's receive queue.
int QueuedInput(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

}  // namespace

TcpPeer::TcpPeer(const std::string& ip, int port) : listener_(ip, port) {
  if (port == 0 && !Ok()) ADD_FAILURE() << Error();
}

TcpPeer::~TcpPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string TcpPeer::Url(const std::string& path) const {
  return "http://" + Ip() + ":" + std::to_string(Port()) + path;
}

TcpPeer& TcpPeer::Step(std::function<bool()> step) {
  steps_.push_back(std::move(step));
  return *this;
}

TcpPeer& TcpPeer::Send(std::string bytes) {
  return Step([this, bytes] { return conn_.Send(bytes); });
}

TcpPeer& TcpPeer::RecvUntilClose() {
  return Step([this] {
    for (;;) {
      const ReadResult r = conn_.ReadSome();
      Keep(conn_.Pending());
      if (r != ReadResult::Data) return r == ReadResult::End;
    }
  });
}

TcpPeer& TcpPeer::WaitTaken() {
  return Step([this] {
    return WaitUntil([this] {
      const int fd = clientFd_.load();
      return Aborted() || (fd >= 0 && QueuedInput(fd) == 0);
    }) && !Aborted();
  });
}

TcpPeer& TcpPeer::WaitSignal(int n) {
  return Step([this, n] {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return signals_ >= n || aborted_; }) && !aborted_;
  });
}

TcpPeer& TcpPeer::Close() {
  return Step([this] {
    conn_.Close();
    return true;
  });
}

TcpPeer& TcpPeer::Reset() {
  return Step([this] {
    conn_.Reset();
    return true;
  });
}

TcpPeer& TcpPeer::AnswerRequests(std::vector<Reply> replies) {
  return Step([this, replies = std::move(replies)] { return Answer(replies); });
}

void TcpPeer::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TcpPeer::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++signals_;
  }
  cv_.notify_all();
}

bool TcpPeer::WaitDone(std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, deadline, [&] { return done_; });
  return done_ && ok_;
}

std::string TcpPeer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> TcpPeer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool TcpPeer::Aborted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return aborted_;
}

// Takes the bytes into Received().
void TcpPeer::Keep(std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_ += bytes;
  bytes.clear();
}

// The next connection replaces the current one; in short slices, so that a peer nobody
// connects to ends with its test.
bool TcpPeer::Accept(std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  do {
    Fd fd = listener_.Accept(std::min(kSlice, deadline));
    if (fd.Valid()) {
      conn_ = TcpConn(std::move(fd));
      conn_.StopWhen([this] { return Aborted(); });
      ++connections_;
      return true;
    }
  } while (!Aborted() && Clock::now() < end);
  return false;
}

bool TcpPeer::Answer(const std::vector<Reply>& replies) {
  const auto end = Clock::now() + 3 * kDeadline;
  size_t next = 0;
  while (!Aborted() && Clock::now() < end) {
    const size_t head = conn_.Pending().find("\r\n\r\n");
    if (head != std::string::npos) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(conn_.Pending().substr(0, head + 4));
      }
      conn_.Pending().erase(0, head + 4);
      if (next == replies.size()) continue;
      const Reply& r = replies[next++];
      conn_.Send(r.bytes);
      if (r.reset) conn_.Reset();
      if (r.close || r.reset) conn_ = TcpConn();
      continue;
    }
    if (conn_.Ok()) {
      const ReadResult r = conn_.ReadSome(kSlice);
      if (r == ReadResult::Data) continue;
      if (r != ReadResult::Timeout) conn_ = TcpConn();
    }
    // A client that gave its connection up, or opened another one.
    Accept(conn_.Ok() ? std::chrono::milliseconds(0) : kSlice);
  }
  return true;
}

void TcpPeer::Run() {
  bool ok = Accept(kDeadline);
  for (auto& step : steps_) {
    if (!ok) break;
    ok = step();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    ok_ = ok;
  }
  cv_.notify_all();
}

}  // namespace support
