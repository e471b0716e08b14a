// The GET of the full MAC vendor list (about 46,000 lines) from the echo server on loopback by
// the HTTP client, into a file, against curl fetching the same URL into a file (-o). Each
// iteration times one of each on a new connection; the counters give both times and their
// ratio (client / curl): curl's whole run (with its process start) and the transfer time that
// curl itself reports.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "net/IdHTTP.h"
#include "server/EchoServer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The echo server on 127.0.0.1 with a port chosen by the system, on its own thread.
class Server {
 public:
  Server() : server_(Config(), [](const std::string&) {}) { thread_ = std::thread([this] { server_.Run(); }); }
  ~Server() {
    server_.Stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(server_.ControlPort()) + "/download/MAC.CSV"; }
  size_t Entries() const { return server_.MacListEntries(); }

 private:
  static TEchoServerConfig Config() {
    TEchoServerConfig c;
    c.Address = "127.0.0.1";
    c.ControlPort = 0;
    c.SipPorts = {};
    c.RtpPort = 0;
    return c;
  }
  TEchoServer server_;
  std::thread thread_;
};

// Runs curl to fetch url into file; false when it failed. `transferSeconds` gets curl's own
// figure for the transfer (connection to last byte, without its start-up).
bool Curl(const std::string& url, const std::string& file, double& transferSeconds) {
  const char* argv[] = {"curl", "-s", "-f", "--noproxy", "*", "-w", "%{time_total}", "-o", file.c_str(), url.c_str(),
                        nullptr};
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid;
  const int rc = posix_spawnp(&pid, "curl", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return false;
  }
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  transferSeconds = std::atof(text.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_GetVersusCurl(benchmark::State& state) {
  Server server;
  if (server.Entries() == 0) {
    state.SkipWithError("no vendor list (is ieee-data installed?)");
    return;
  }
  const std::string url = server.Url();
  const auto dir = std::filesystem::temp_directory_path();
  const std::string ours = (dir / "nat-bench-get.csv").string();
  const std::string theirs = (dir / "nat-bench-curl.csv").string();
  double oursSeconds = 0, curlSeconds = 0, curlTransferSeconds = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    {
      TIdHTTP http;
      TFileStream file(ours, TFileStream::fmCreate);
      http.Get(url, &file);
      bytes = file.Size();
      file.Close();
    }
    auto t1 = Clock::now();
    double transfer = 0;
    if (!Curl(url, theirs, transfer)) {
      state.SkipWithError("curl failed");
      break;
    }
    auto t2 = Clock::now();
    oursSeconds += std::chrono::duration<double>(t1 - t0).count();
    curlSeconds += std::chrono::duration<double>(t2 - t1).count();
    curlTransferSeconds += transfer;
  }
  std::error_code ignored;
  std::filesystem::remove(ours, ignored);
  std::filesystem::remove(theirs, ignored);
  const double n = static_cast<double>(state.iterations());
  state.counters["client_ms"] = oursSeconds / n * 1000;
  state.counters["curl_ms"] = curlSeconds / n * 1000;
  state.counters["curl_transfer_ms"] = curlTransferSeconds / n * 1000;
  state.counters["ratio"] = curlSeconds > 0 ? oursSeconds / curlSeconds : 0;
  state.counters["ratio_transfer"] = curlTransferSeconds > 0 ? oursSeconds / curlTransferSeconds : 0;
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetVersusCurl)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
