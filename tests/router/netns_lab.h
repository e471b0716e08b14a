#pragma once
// Network namespaces made by a test: a "host" namespace where the code under test runs and a
// "router" namespace on the far end of a veth pair. Names are unique per process and per lab;
// the namespaces (and with them the veth pair) are deleted when the lab goes.
#include <sys/types.h>

#include <functional>
#include <string>

namespace netns_lab {

// Runs a shell command; returns its exit status and puts its output (stdout and stderr) into `out`.
int Shell(const std::string& command, std::string* out = nullptr);

class Lab {
 public:
  Lab();
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  // Creates both namespaces and the veth pair ("gwh" in the host, "gwr" in the router
  // namespace), links up, no addresses. False with the reason when namespaces cannot be made.
  bool Make(std::string& why);

  // Runs "ip -n <ns> <args>" in the host or router namespace; fails the test on error.
  void HostIp(const std::string& args);
  void RouterIp(const std::string& args);
  // Output of "ip -n <host ns> <args>".
  std::string HostIpOutput(const std::string& args);

  const std::string& HostNs() const { return host_; }

  // Runs `body` in a child process that has entered the host namespace, optionally without
  // CAP_NET_ADMIN; returns what the child wrote to the given file descriptor, or fails the
  // test when the child does not end within `limitMs`.
  std::string RunInHost(const std::function<void(int outFd)>& body, bool dropNetAdmin, int limitMs = 10000);

 private:
  std::string host_, router_;
  bool madeHost_ = false, madeRouter_ = false;
};

}  // namespace netns_lab
