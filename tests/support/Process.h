#pragma once
// Processes a test starts end with the test, however the test ends (a crash, an abort, a kill).
#include <sys/types.h>

namespace support {

// Call in a child right after fork(), with the pid of the test process taken before the fork:
// the kernel kills the child (SIGKILL) when the thread that forked it ends, and a child whose
// test ended before this call ends at once. Only system calls: safe between fork and exec.
// Fork from a thread that lives as long as the child should (a test's own thread does).
void EndWithParent(pid_t parent);

}  // namespace support
