// TCP client reads over loopback against plain recv loops on the same kind of socket:
// ReadLine over many short lines, and ReadToStream of 8 MB.
//
// A sender thread writes its block over and over until the reader closes; each benchmark
// iteration reads a fixed amount, so connection set-up stays out of the figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/IdStream.h"
#include "net/IdTCPClient.h"

namespace {

constexpr int kLinesPerIteration = 10000;
constexpr int64_t kStreamBytes = 8 << 20;
constexpr int kRecvSize = 32768;  // the client's receive size, used by the plain loops too

// Listens on ip, accepts one connection and sends block repeatedly until the peer goes away.
class Sender {
 public:
  Sender(const char* ip, std::string block) : block_(std::move(block)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &sa.sin_addr);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener_, 1);
    socklen_t len = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] {
      const int conn = ::accept(listener_, nullptr, nullptr);
      for (;;) {
        size_t off = 0;
        while (off < block_.size()) {
          const ssize_t n = ::send(conn, block_.data() + off, block_.size() - off, MSG_NOSIGNAL);
          if (n <= 0) {
            ::close(conn);
            return;
          }
          off += static_cast<size_t>(n);
        }
      }
    });
  }
  ~Sender() {
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

 private:
  std::string block_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A plain blocking socket connected to ip:port.
int PlainConnect(const char* ip, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip, &sa.sin_addr);
  ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return fd;
}

// Short CR LF lines of 20 to 59 bytes, about 1 MB.
std::string LineBlock() {
  std::string block;
  for (int i = 0; block.size() < (1 << 20); ++i) {
    block += "Via: SIP/2.0/UDP 10.0.0." + std::to_string(i % 250) + ";rport";
    block.append(static_cast<size_t>(i % 20), 'x');
    block += "\r\n";
  }
  return block;
}

void BM_ReadLine_TcpClient(benchmark::State& state) {
  Sender sender("127.0.90.1", LineBlock());
  TIdTCPClient client;
  client.SetHost("127.0.90.1");
  client.SetPort(sender.Port());
  client.Connect(-1);
  int64_t bytes = 0;
  for (auto _ : state) {
    for (int i = 0; i < kLinesPerIteration; ++i) {
      std::string line = client.ReadLine("\r\n");
      bytes += static_cast<int64_t>(line.size()) + 2;
      benchmark::DoNotOptimize(line);
    }
  }
  client.Disconnect();
  state.SetItemsProcessed(state.iterations() * kLinesPerIteration);
  state.SetBytesProcessed(bytes);
}

// By hand: recv into a buffer, find each CR LF, copy the line out, move the rest to the front.
void BM_ReadLine_PlainRecv(benchmark::State& state) {
  Sender sender("127.0.90.2", LineBlock());
  const int fd = PlainConnect("127.0.90.2", sender.Port());
  std::vector<char> buf(2 * kRecvSize);
  size_t have = 0, start = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    for (int i = 0; i < kLinesPerIteration;) {
      const char* begin = buf.data() + start;
      const void* lf = std::memchr(begin, '\n', have - start);
      if (lf != nullptr) {
        const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - begin);
        std::string line(begin, len > 0 && begin[len - 1] == '\r' ? len - 1 : len);
        benchmark::DoNotOptimize(line);
        bytes += static_cast<int64_t>(len) + 1;
        start += len + 1;
        ++i;
        continue;
      }
      std::memmove(buf.data(), buf.data() + start, have - start);
      have -= start;
      start = 0;
      const ssize_t n = ::recv(fd, buf.data() + have, std::min<size_t>(kRecvSize, buf.size() - have), 0);
      if (n <= 0) {
        state.SkipWithError("recv failed");
        break;
      }
      have += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * kLinesPerIteration);
  state.SetBytesProcessed(bytes);
}

std::string StreamBlock() {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
  return block;
}

void BM_ReadToStream8MB_TcpClient(benchmark::State& state) {
  Sender sender("127.0.90.3", StreamBlock());
  TIdTCPClient client;
  client.SetHost("127.0.90.3");
  client.SetPort(sender.Port());
  client.Connect(-1);
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetPosition(0);
    client.ReadToStream(&stream, kStreamBytes);
    benchmark::DoNotOptimize(stream.Memory());
  }
  client.Disconnect();
  state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

// By hand: recv straight into the destination memory until 8 MB are there.
void BM_ReadToStream8MB_PlainRecv(benchmark::State& state) {
  Sender sender("127.0.90.4", StreamBlock());
  const int fd = PlainConnect("127.0.90.4", sender.Port());
  std::vector<char> dest(static_cast<size_t>(kStreamBytes));
  for (auto _ : state) {
    int64_t got = 0;
    while (got < kStreamBytes) {
      const ssize_t n = ::recv(fd, dest.data() + got, static_cast<size_t>(std::min<int64_t>(kRecvSize, kStreamBytes - got)), 0);
      if (n <= 0) {
        state.SkipWithError("recv failed");
        break;
      }
      got += n;
    }
    benchmark::DoNotOptimize(dest.data());
  }
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

BENCHMARK(BM_ReadLine_TcpClient)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadLine_PlainRecv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadToStream8MB_TcpClient)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadToStream8MB_PlainRecv)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
