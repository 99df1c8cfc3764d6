#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/start_chain_platform.h"
#include "support/digits.h"

namespace {

// The parent of `pid` as /proc tells it, or -1.
pid_t parent_of(pid_t pid) {
  char name[80] = "/proc/";  // room for any number append_digits writes
  strcpy(append_digits(name + strlen(name), static_cast<unsigned long long>(pid), 10), "/stat");
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return -1;
  text[length] = '\0';
  // The command name before the state may hold spaces and ')' of its own.
  const char* name_end = strrchr(text, ')');
  int parent = 0;
  if (name_end == nullptr || sscanf(name_end + 1, " %*c %d", &parent) != 1) return -1;
  return parent;
}

}  // namespace

// Whether `wrapper` is this process's parent or an ancestor further up: a
// wrapper that has ended leaves a chain its tool's offspring may still carry.
// Where /proc cannot tell, a live process of that number counts, erring
// towards the refusal: a wrong one costs a line, a missed one a chain. The
// line of ancestors is read once, however many entries the chain holds.
bool waits_above(unsigned long long wrapper_id) {
  static pid_t ancestors[4096];
  static int known = -1;
  static bool unreadable = false;
  if (known < 0) {
    known = 0;
    pid_t ancestor = getppid();
    while (ancestor > 0 && known < 4096) {
      ancestors[known++] = ancestor;
      if (ancestor == 1) break;
      ancestor = parent_of(ancestor);
    }
    unreadable = ancestor < 0;
  }
  auto wrapper = static_cast<pid_t>(wrapper_id);
  for (int i = 0; i < known; ++i)
    if (ancestors[i] == wrapper) return true;
  if (unreadable) return kill(wrapper, 0) == 0 || errno == EPERM;
  return false;
}

unsigned long long own_process_id() {
  return static_cast<unsigned long long>(getpid());
}

char** hand_over_environment(char** environment, const char*) {
  return environment;
}
