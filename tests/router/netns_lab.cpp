#include "netns_lab.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/Process.h"

namespace netns_lab {

int Shell(const std::string& command, std::string* out) {
  std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = ::pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
std::atomic<int> labCount{0};
}

Lab::Lab() {
  const std::string base = "natgw" + std::to_string(::getpid()) + "-" + std::to_string(++labCount);
  host_ = base + "h";
  router_ = base + "r";
}

Lab::~Lab() {
  if (madeHost_) Shell("ip netns del " + host_);
  if (madeRouter_) Shell("ip netns del " + router_);
}

namespace {
// Namespaces left by a run of these tests that died before cleaning up (their process is gone).
void RemoveStaleLabs() {
  std::string list;
  if (Shell("ip netns list", &list) != 0) return;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t eol = list.find('\n', pos);
    if (eol == std::string::npos) eol = list.size();
    const std::string line = list.substr(pos, eol - pos);
    pos = eol + 1;
    const std::string name = line.substr(0, line.find(' '));
    if (name.rfind("natgw", 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + 5, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) Shell("ip netns del " + name);
  }
}
}  // namespace

bool Lab::Make(std::string& why) {
  RemoveStaleLabs();
  if (Shell("ip netns add " + host_, &why) != 0) return false;
  madeHost_ = true;
  if (Shell("ip netns add " + router_, &why) != 0) return false;
  madeRouter_ = true;
  if (Shell("ip -n " + host_ + " link add gwh type veth peer name gwr netns " + router_, &why) != 0) return false;
  HostIp("link set lo up");
  RouterIp("link set lo up");
  HostIp("link set gwh up");
  RouterIp("link set gwr up");
  return true;
}

void Lab::HostIp(const std::string& args) {
  std::string out;
  const int rc = Shell("ip -n " + host_ + " " + args, &out);
  ASSERT_EQ(rc, 0) << "ip " << args << ": " << out;
}

void Lab::RouterIp(const std::string& args) {
  std::string out;
  const int rc = Shell("ip -n " + router_ + " " + args, &out);
  ASSERT_EQ(rc, 0) << "ip " << args << ": " << out;
}

std::string Lab::HostIpOutput(const std::string& args) {
  std::string out;
  Shell("ip -n " + host_ + " " + args, &out);
  return out;
}

namespace {
// Clears CAP_NET_ADMIN from the calling process's effective set.
bool DropNetAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}
}  // namespace

std::string Lab::RunInHost(const std::function<void(int outFd)>& body, bool dropNetAdmin, int limitMs) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t test = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    support::EndWithParent(test);
    ::close(fds[0]);
    const int ns = ::open(("/run/netns/" + host_).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
      (void)!::write(fds[1], "setns failed", 12);
      ::_exit(2);
    }
    if (dropNetAdmin && !DropNetAdmin()) {
      (void)!::write(fds[1], "capset failed", 13);
      ::_exit(3);
    }
    body(fds[1]);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  char buf[512];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ::kill(child, SIGKILL);
      ADD_FAILURE() << "child did not finish within " << limitMs << " ms";
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ADD_FAILURE() << "child failed: " << out;
  return out;
}

}  // namespace netns_lab
