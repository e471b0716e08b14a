// A test process that dies abnormally (killed, as a crash or a time-out kills it) takes what it
// started with it: a child that asked to end with its test (support::EndWithParent, as the tests
// that fork or start programs do), and anything a shell test started under contained.sh, a
// server in a session of its own included. A child that asked for nothing outlives its test,
// which shows that the check tells the two apart.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>

#include "tests/support/Loopback.h"
#include "tests/support/Process.h"

namespace {

using support::Fd;

enum class Start { AskingToEnd, AskingNothing, ShellTest };

// Ready(fd): what the test process writes once its child runs: the child's pid, then a newline.
// Hold: a pipe end that the child, and only the child, keeps open while it runs.
struct Pipes {
  Fd readyRead, readyWrite, holdRead, holdWrite;
  bool Make() {
    int r[2], h[2];
    if (::pipe(r) != 0 || ::pipe(h) != 0) return false;
    readyRead.Reset(r[0]);
    readyWrite.Reset(r[1]);
    holdRead.Reset(h[0]);
    holdWrite.Reset(h[1]);
    return true;
  }
};

void WritePid(int fd, pid_t pid) {
  char text[24];
  size_t at = sizeof text;
  text[--at] = '\n';
  do text[--at] = static_cast<char>('0' + pid % 10); while ((pid /= 10) > 0);
  (void)!::write(fd, text + at, sizeof text - at);
}

// Forks the test process, which starts its child the given way and then waits to be killed.
// Only system calls after the fork: the test runs threads.
pid_t StartTestProcess(Start how, Pipes& p, const std::string& contained) {
  const char* shell[] = {"bash", contained.c_str(), "bash", "-c",
                         "setsid sleep 600 & echo $! >&3; exec 3>&-; wait", nullptr};
  const pid_t test = ::fork();
  if (test != 0) return test;
  ::close(p.readyRead.Get());
  ::close(p.holdRead.Get());
  if (how == Start::ShellTest) {
    // The script's descriptors 3 (ready) and 4 (hold), and no other.
    const int ready = ::fcntl(p.readyWrite.Get(), F_DUPFD, 100), hold = ::fcntl(p.holdWrite.Get(), F_DUPFD, 100);
    ::dup2(ready, 3);
    ::dup2(hold, 4);
    for (int fd = 5; fd < 1024; ++fd) ::close(fd);
    ::execvp("bash", const_cast<char* const*>(shell));
    ::_exit(127);
  }
  const pid_t self = ::getpid();
  int started[2];
  if (::pipe(started) != 0) ::_exit(126);
  const pid_t child = ::fork();
  if (child == 0) {
    if (how == Start::AskingToEnd) support::EndWithParent(self);
    ::close(started[0]);
    ::close(started[1]);  // the test process sees the end of this pipe: the request holds
    ::execlp("sleep", "sleep", "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(started[1]);
  char c;
  (void)!::read(started[0], &c, 1);
  ::close(p.holdWrite.Get());
  WritePid(p.readyWrite.Get(), child);
  for (;;) ::pause();
}

// Reads the child's pid (as the test process sees it) from the test process; 0 when none came.
long ReadPid(int fd) {
  std::string text;
  char c;
  pollfd pf{fd, POLLIN, 0};
  while (text.size() < 20 && ::poll(&pf, 1, static_cast<int>(support::kDeadline.count())) == 1 &&
         ::read(fd, &c, 1) == 1 && c != '\n')
    text += c;
  return std::atol(text.c_str());
}

// True once nobody holds the write end of the pipe any more: the child has ended.
bool Closed(int holdRead, std::chrono::milliseconds deadline) {
  pollfd pf{holdRead, POLLIN, 0};
  char c;
  return ::poll(&pf, 1, static_cast<int>(deadline.count())) == 1 && ::read(holdRead, &c, 1) == 0;
}

TEST(ChildrenEnd, with_a_test_process_that_dies_abnormally) {
  const std::string contained = NAT_CONTAINED;
  const bool pidNamespaces = ::system("unshare --pid --fork --kill-child --mount-proc true 2>/dev/null") == 0;
  // Orphans come to this process, which reaps them.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const struct {
    const char* name;
    Start how;
    bool ends;
  } rows[] = {
      {"a forked program that asked to end with its test", Start::AskingToEnd, true},
      {"a server started in a session of its own by a shell test under contained.sh", Start::ShellTest, true},
      {"a forked program that asked for nothing", Start::AskingNothing, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.how == Start::ShellTest && !pidNamespaces) {
      std::cout << "not checked here (no PID namespace without root): " << row.name << "\n";
      continue;
    }
    Pipes p;
    ASSERT_TRUE(p.Make());
    const pid_t test = StartTestProcess(row.how, p, contained);
    ASSERT_GT(test, 0);
    p.readyWrite.Reset();
    p.holdWrite.Reset();
    const long child = ReadPid(p.readyRead.Get());
    ASSERT_GT(child, 0) << "the test process did not start its child";

    ::kill(test, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(test, &status, 0), test);
    ASSERT_TRUE(WIFSIGNALED(status));
    const bool ended = Closed(p.holdRead.Get(), row.ends ? support::kDeadline : std::chrono::milliseconds(0));
    EXPECT_EQ(ended, row.ends) << (row.ends ? "the child outlived its test" : "the child ended with its test");
    if (!ended && row.how != Start::ShellTest) ::kill(static_cast<pid_t>(child), SIGKILL);
    // Reap what came here (bounded: each orphan of the row ends at once).
    EXPECT_TRUE(support::WaitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }));
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
