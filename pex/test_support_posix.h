// The POSIX side of test_support.h.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

namespace pex_testing {

// The status the back end reports for a child that exited with `code`.
constexpr int exited_with(int code) {
  return code << 8;
}

constexpr bool ended_child_times_known() {
  return true;
}

// With `lose` the kernel reaps children itself, so that a wait fails; false
// where the system has no such switch.
inline bool lose_child_statuses(bool lose) {
  signal(SIGCHLD, lose ? SIG_IGN : SIG_DFL);
  return true;
}

// Sets a variable of the environment children inherit; null removes it.
inline void set_env(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

// Tells whether a child the engine let go of is gone; a survivor is ended so
// that a failure shows instead of a hang.
struct child_watch {
  explicit child_watch(pid_t child) : pid(child) {}
  ~child_watch() {
    if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  bool ended() const {
    errno = 0;
    return kill(pid, 0) == -1 && errno == ESRCH;
  }
  pid_t pid;
};

}  // namespace pex_testing
