#include "pex/posix_backend.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pex/platform.h"
#include "support/alloc.h"

extern char** environ;

namespace {

// What the child needs, all prepared by the parent: between the clone and the
// exec the child shares the parent's memory and may only make system calls.
struct child_start {
  const char* program;
  char* const* argv;
  char* const* environment;
  const sigset_t* child_mask;
  const char* search_list;  // PATH's value when the program is sought on it
  char* candidate;          // room for any PATH entry, a '/' and the program
  pid_t parent;
  int error_fd;  // write end of the close-on-exec pipe that carries errno back
};

// The search posix_spawnp makes: each entry of PATH in turn, an empty one
// the current directory; a file there that may not be run is remembered and
// the search goes on; any other failure ends it. Returns errno.
int exec_found(const child_start& start) {
  size_t name_length = strlen(start.program);
  bool denied = false;
  for (const char* entry = start.search_list;;) {
    const char* end = strchrnul(entry, ':');
    auto length = static_cast<size_t>(end - entry);
    memcpy(start.candidate, entry, length);
    if (length > 0) start.candidate[length++] = '/';
    memcpy(start.candidate + length, start.program, name_length + 1);
    execve(start.candidate, start.argv, start.environment);
    switch (errno) {
      case EACCES:
        denied = true;
        break;
      case ENOENT:
      case ENOTDIR:
      case ESTALE:
      case ENODEV:
      case ETIMEDOUT:
        break;
      default:
        return errno;
    }
    if (*end == '\0') return denied ? EACCES : ENOENT;
    entry = end + 1;
  }
}

// Runs in the child, every signal still blocked. A handler of the parent's
// must not run here once the mask is the caller's, so each goes back to its
// default; what the caller ignored stays ignored, and nothing else is (the
// library's own signals it refuses to touch). Only then is the caller's mask
// put back, just before the exec, which ends the window.
int start_in_child(void* data) {
  const auto& start = *static_cast<const child_start*>(data);
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction previous;
    if (signal_number == SIGKILL || signal_number == SIGSTOP ||
        sigaction(signal_number, &default_action, &previous) != 0)
      continue;
    if (previous.sa_handler == SIG_IGN) sigaction(signal_number, &previous, nullptr);
  }
  // No child outlives the process that started it, as under the Windows job.
  // A parent already gone by now would never send the signal.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != start.parent) _exit(127);
  sigprocmask(SIG_SETMASK, start.child_mask, nullptr);
  int error = 0;
  if (start.search_list != nullptr) {
    error = exec_found(start);
  } else {
    execve(start.program, start.argv, start.environment);
    error = errno;
  }
  // A pipe write this small is atomic; the parent reads it once we are gone.
  while (write(start.error_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

// The child shares the parent's memory and runs on a stack of its own until
// it execs, as a careful posix_spawn does; the parent sleeps meanwhile. Under
// the sanitizers a plain fork: their runtime cannot follow a second stack.
pid_t clone_child(child_start* start) {
#if defined(__SANITIZE_ADDRESS__)
  pid_t pid = fork();
  if (pid == 0) start_in_child(start);
  return pid;
#else
  alignas(16) char stack[16384];
  return clone(start_in_child, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, start);
#endif
}

int spawn_process(pid_t* pid, const char* program, char* const* argv, char* const* environment,
                  bool path_search, const sigset_t* child_mask) {
  child_start start = {program, argv, environment, child_mask, nullptr, nullptr, getpid(), -1};
  if (path_search && strchr(program, '/') == nullptr) {
    const char* path = getenv("PATH");
    start.search_list = path != nullptr ? path : "/bin:/usr/bin";
    start.candidate =
        static_cast<char*>(checked_alloc(strlen(start.search_list) + strlen(program) + 2));
  }
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) {
    free(start.candidate);
    return errno;
  }
  start.error_fd = error_pipe[1];
  pid_t child = clone_child(&start);
  int error = child < 0 ? errno : 0;
  close(error_pipe[1]);
  if (child > 0) {
    ssize_t got;
    while ((got = read(error_pipe[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got != sizeof error) error = 0;
    // A child that could not exec is ours to reap: the caller never hears of it.
    if (error != 0)
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
  }
  close(error_pipe[0]);
  free(start.candidate);
  if (error == 0) *pid = child;
  return error;
}

// Holds every signal, keeping the caller's mask to put back, so that a hook
// runs before any handler can see the child it concerns.
void hold_all_signals(sigset_t* caller_mask) {
  sigset_t all_signals;
  sigfillset(&all_signals);
  sigemptyset(caller_mask);
  sigprocmask(SIG_BLOCK, &all_signals, caller_mask);
}

void sleep_seconds(unsigned int seconds) {
  sleep(seconds);
}

// A caller may start with some of 0, 1 and 2 closed; a descriptor of ours that
// landed there would pass for the caller's own stream, so it moves above them.
// Keeps -1 and errno as they are.
int above_standard_slots(int fd) {
  if (fd > 2 || fd < 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return moved;
}

// Close-on-exec like every descriptor of ours: spawn_child gives the child
// inheritable copies in its standard slots.
int open_for_reading(pex_pipeline*, const char* name, int) {
  return above_standard_slots(open(name, O_RDONLY | O_CLOEXEC));
}

int open_for_writing(pex_pipeline*, const char* name, int) {
  return above_standard_slots(open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

int close_descriptor(pex_pipeline*, int fd) {
  return close(fd);
}

// Pipe ends are close-on-exec so that no child inherits them under their own
// numbers (a stage would otherwise hold the read end of its own error pipe);
// spawn_child's dup2 into the standard slots gives the child its copies.
int create_pipe(pex_pipeline*, int* fds, int) {
  if (pipe2(fds, O_CLOEXEC) < 0) return -1;
  for (int i = 0; i < 2; ++i) {
    fds[i] = above_standard_slots(fds[i]);
    if (fds[i] < 0) {
      int saved_errno = errno;
      close(fds[1 - i]);
      errno = saved_errno;
      return -1;
    }
  }
  return 0;
}

FILE* stream_for_reading(pex_pipeline*, int fd, int) {
  return fdopen(fd, "r");
}

// The caller's end of an input pipe must not leak into the stage that reads
// it, or that stage would never see the end of its input.
FILE* stream_for_writing(pex_pipeline*, int fd, int) {
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) return nullptr;
  return fdopen(fd, "w");
}

void release_backend(pex_pipeline*) {}

// Makes `slot` hold the child's descriptor (or, for -1, merely keeps the child
// from inheriting it), remembering how to put the parent's descriptor back.
int install_child_fd(int* saved_copy, int* saved_flags, int slot, int child_fd) {
  int flags = fcntl(slot, F_GETFD);
  int copy = -1;
  if (flags < 0) {
    flags = 0;
    if (child_fd >= 0 && dup2(child_fd, slot) < 0) return -1;
  } else if (child_fd == -1) {
    if ((flags & FD_CLOEXEC) == 0 && fcntl(slot, F_SETFD, FD_CLOEXEC) < 0) return -1;
    copy = slot;
  } else {
    // The copy sits above the standard slots and is close-on-exec, so the
    // child never sees it.
    copy = fcntl(slot, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return -1;
    if (dup2(child_fd, slot) < 0) {
      int saved_errno = errno;
      close(copy);
      errno = saved_errno;
      return -1;
    }
  }
  *saved_flags = flags;
  if (saved_copy != nullptr) {
    *saved_copy = copy;
  } else if (copy != slot) {
    abort();
  }
  return 0;
}

// Closes the saved copy on failure too: it is of no use once the slot cannot
// take it back.
int move_back(int slot, int saved_copy, bool close_on_exec) {
  int result = close_on_exec ? dup3(saved_copy, slot, O_CLOEXEC) : dup2(saved_copy, slot);
  if (result < 0) {
    int saved_errno = errno;
    close(saved_copy);
    errno = saved_errno;
  }
  return result;
}

int restore_parent_fd(int slot, int saved_copy, int saved_flags) {
  if (saved_copy < 0) return close(slot);
  if (saved_copy == slot) {
    if ((saved_flags & FD_CLOEXEC) != 0) return 0;
    return fcntl(slot, F_SETFD, saved_flags);
  }
  if (saved_flags == FD_CLOEXEC) {
    if (move_back(slot, saved_copy, true) < 0) return -1;
    return close(saved_copy);
  }
  if (move_back(slot, saved_copy, false) < 0) return -1;
  if (saved_flags != 0 && fcntl(slot, F_SETFD, saved_flags) < 0) {
    int saved_errno = errno;
    close(saved_copy);
    errno = saved_errno;
    return -1;
  }
  return close(saved_copy);
}

struct displaced_slots {
  bool installed[3] = {false, false, false};
  int saved_copy[3] = {-1, -1, -1};
  int saved_flags[3] = {0, 0, 0};
  bool to_close_marked = false;
  int to_close_flags = 0;
};

// Puts back everything that was displaced, even past a failure, so the
// parent never keeps a child's descriptor in its standard slots or leaks a
// saved copy. Returns 0, or the errno of the first failing call.
int restore_parent_fds(const displaced_slots& slots, int to_close) {
  int first_errno = 0;
  if (slots.to_close_marked && restore_parent_fd(to_close, to_close, slots.to_close_flags) < 0)
    first_errno = errno;
  for (int slot = 0; slot < 3; ++slot) {
    if (!slots.installed[slot]) continue;
    if (restore_parent_fd(slot, slots.saved_copy[slot], slots.saved_flags[slot]) < 0 &&
        first_errno == 0)
      first_errno = errno;
  }
  return first_errno;
}

pex_child_id spawn_child(pex_pipeline*, int flags, const char* program, char* const* argv,
                         char* const* environment, int in_fd, int out_fd, int err_fd, int to_close,
                         const char** message, int* error_code) {
  int effective_err_fd = (flags & PEX_MERGE_STDERR) != 0 ? out_fd : err_fd;
  const int child_fds[3] = {in_fd, out_fd, effective_err_fd};
  displaced_slots slots;

  for (int slot = 0; slot < 3; ++slot) {
    if (child_fds[slot] == slot) continue;
    if (install_child_fd(&slots.saved_copy[slot], &slots.saved_flags[slot], slot, child_fds[slot]) <
        0) {
      *error_code = errno;
      *message = "dup2";
      restore_parent_fds(slots, to_close);
      return -1;
    }
    slots.installed[slot] = true;
  }
  if (to_close >= 0) {
    if (install_child_fd(nullptr, &slots.to_close_flags, to_close, -1) < 0) {
      *error_code = errno;
      *message = "dup2";
      restore_parent_fds(slots, to_close);
      return -1;
    }
    slots.to_close_marked = true;
  }

  int highest_slot = effective_err_fd >= 0 ? 2 : out_fd >= 0 ? 1 : in_fd >= 0 ? 0 : -1;
  if (in_fd > highest_slot) close(in_fd);
  if (out_fd > highest_slot) close(out_fd);
  if (effective_err_fd > highest_slot && effective_err_fd != out_fd) close(effective_err_fd);
  // Merged output makes err_fd unused; left open it would reach the child and
  // keep a reader of the error pipe from ever seeing its end.
  if ((flags & PEX_MERGE_STDERR) != 0 && err_fd > 2 && err_fd != out_fd) close(err_fd);

  char* const* child_environment = environment != nullptr ? environment : environ;
  sigset_t caller_mask;
  pid_t pid = 0;
  for (int retries = 0;;) {
    pid = 0;
    // Signals wait until the caller's hook knows the child, so a handler that
    // passes them on can never miss it; the child starts with the caller's
    // own mask, not the blocked one.
    hold_all_signals(&caller_mask);
    int spawn_errno = pex_spawn_primitive(&pid, program, argv, child_environment,
                                          (flags & PEX_PATH_SEARCH) != 0, &caller_mask);
    if (spawn_errno == 0 && pid > 0) {
      if (pex_child_started != nullptr) pex_child_started(pid);
      sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
      break;
    }
    if (spawn_errno == 0) spawn_errno = errno;
    sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    // Every failed attempt is reported, so a start that succeeds after
    // retries still leaves "spawn" and EAGAIN behind.
    *error_code = spawn_errno;
    *message = "spawn";
    if (spawn_errno != EAGAIN || ++retries == 4) {
      restore_parent_fds(slots, to_close);
      return -1;
    }
    pex_retry_pause(1u << retries);
  }

  int restore_errno = restore_parent_fds(slots, to_close);
  if (restore_errno != 0) {
    *error_code = restore_errno;
    *message = "dup2";
    return -1;
  }
  return pid;
}

int wait_for_child(pex_pipeline*, pex_child_id child, int* status, pex_child_times* times,
                   int kill_first, const char** message, int* error_code) {
  auto pid = static_cast<pid_t>(child);
  if (kill_first != 0) kill(pid, SIGTERM);
  // A caller that signals its children hears of an ended one before its
  // process id is freed for reuse, and signals stay held until it is reaped,
  // so a handler never reaches a stranger that got the number.
  sigset_t caller_mask;
  bool held = false;
  if (pex_child_ended != nullptr) {
    siginfo_t info;
    int ended;
    do {
      ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) {
      hold_all_signals(&caller_mask);
      pex_child_ended(pid);
      held = true;
    }
  }
  pid_t result;
  if (times != nullptr) {
    struct rusage usage;
    do {
      result = wait4(pid, status, 0, &usage);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
      *times = pex_child_times{};
    } else {
      times->user_secs = static_cast<int32_t>(usage.ru_utime.tv_sec);
      times->user_micros = static_cast<int32_t>(usage.ru_utime.tv_usec);
      times->system_secs = static_cast<int32_t>(usage.ru_stime.tv_sec);
      times->system_micros = static_cast<int32_t>(usage.ru_stime.tv_usec);
    }
  } else {
    do {
      result = waitpid(pid, status, 0);
    } while (result < 0 && errno == EINTR);
  }
  if (held) sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  if (result < 0) {
    *error_code = errno;
    *message = "wait";
    return -1;
  }
  return 0;
}

constexpr pex_backend_ops posix_ops = {
    open_for_reading, open_for_writing,   spawn_child,        close_descriptor, wait_for_child,
    create_pipe,      stream_for_reading, stream_for_writing, release_backend,
};

}  // namespace

pex_spawn_function pex_spawn_primitive = spawn_process;
void (*pex_retry_pause)(unsigned int seconds) = sleep_seconds;
void (*pex_child_started)(pid_t pid) = nullptr;
void (*pex_child_ended)(pid_t pid) = nullptr;

pex_pipeline* pex_create_posix(int creation_flags, const char* program_label,
                               const char* temp_prefix) {
  return pex_create(creation_flags, program_label, temp_prefix, &posix_ops);
}

pex_pipeline* pex_create_native(int creation_flags, const char* program_label,
                                const char* temp_prefix) {
  return pex_create_posix(creation_flags, program_label, temp_prefix);
}

pex_outcome pex_outcome_of(int status) {
  pex_outcome outcome = {};
  int signal_number = status & 0x7f;
  if ((status & 0xff) == 0) {
    outcome.exited = true;
    outcome.code = static_cast<unsigned long>((status >> 8) & 0xff);
  } else if (signal_number != 0 && signal_number != 0x7f) {
    outcome.signal = signal_number;
    outcome.core = (status & 0x80) != 0;
  }
  return outcome;
}

FILE* pex_open_stream(const char* name, const char* mode) {
  FILE* stream = fopen(name, mode);
  if (stream == nullptr || fileno(stream) > 2) return stream;
  int fd = fcntl(fileno(stream), F_DUPFD_CLOEXEC, 3);
  FILE* moved = fd >= 0 ? fdopen(fd, mode) : nullptr;
  int saved_errno = errno;
  if (moved == nullptr && fd >= 0) close(fd);
  fclose(stream);
  errno = saved_errno;
  return moved;
}

int pex_remove_file(const char* name) {
  return remove(name);
}
