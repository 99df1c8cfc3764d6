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
#include "support/saved_errno.h"

extern char** environ;

namespace {

// What went wrong in the child, for the parent: the step and its errno.
struct child_failure {
  const char* step;  // "dup2" or "spawn"; null while none failed
  int error;
};

// What the child needs, all prepared by the parent: between the clone and the
// exec the child shares the parent's memory and may only make system calls.
struct child_start {
  const pex_child_plan* plan;
  const char* search_list;  // PATH's value when the program is sought on it
  char* candidate;          // room for any PATH entry, a '/' and the program
  char** shell_argv;        // room for "/bin/sh", the file and argv's words
  pid_t parent;
  int report_fd;  // write end of a close-on-exec pipe to the parent, or -1
  // Written by a child that shares our memory; a fork writes its own copy.
  volatile bool reached;
  child_failure failure;
};

// A file the kernel will not run for want of a "#!" line runs under the
// shell, as the POSIX execvp does and as it would from make or sh -c.
void exec_under_shell(const child_start& start, const char* file) {
  char* const* argv = start.plan->argv;
  start.shell_argv[0] = const_cast<char*>("/bin/sh");
  start.shell_argv[1] = const_cast<char*>(file);
  size_t word = 1;  // the file stands in for argv[0]
  if (argv[0] != nullptr)
    for (; argv[word] != nullptr; ++word) start.shell_argv[word + 1] = argv[word];
  start.shell_argv[word + 1] = nullptr;
  execve("/bin/sh", start.shell_argv, start.plan->environment);
}

void exec_file(const child_start& start, const char* file) {
  execve(file, start.plan->argv, start.plan->environment);
  if (errno == ENOEXEC) exec_under_shell(start, file);
}

// The search posix_spawnp makes: each entry of PATH in turn, an empty one
// the current directory; a file there that may not be run is remembered and
// the search goes on; any other failure ends it. Returns errno. strchrnul is
// a Linux and BSD extension.
int exec_found(const child_start& start) {
  const char* program = start.plan->program;
  size_t name_length = strlen(program);
  bool denied = false;
  for (const char* entry = start.search_list;;) {
    const char* end = strchrnul(entry, ':');
    auto length = static_cast<size_t>(end - entry);
    memcpy(start.candidate, entry, length);
    if (length > 0) start.candidate[length++] = '/';
    memcpy(start.candidate + length, program, name_length + 1);
    exec_file(start, start.candidate);
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

// Places the stage's descriptors in 0, 1 and 2. One that sits below its slot
// would be overwritten by an earlier dup2, so it moves up first; one already
// in its slot only loses close-on-exec (a slot it could not find stays closed).
bool place_descriptors(child_start& start) {
  int fds[3];
  for (int slot = 0; slot < 3; ++slot) {
    fds[slot] = start.plan->fds[slot];
    if (fds[slot] >= 0 && fds[slot] < slot) {
      fds[slot] = fcntl(fds[slot], F_DUPFD_CLOEXEC, 3);
      if (fds[slot] < 0) return false;
    }
  }
  for (int slot = 0; slot < 3; ++slot) {
    if (fds[slot] == slot) {
      fcntl(slot, F_SETFD, 0);
    } else if (fds[slot] < 0) {
      close(slot);
    } else if (dup2(fds[slot], slot) < 0) {
      return false;
    }
  }
  if (start.plan->to_close >= 0) close(start.plan->to_close);
  return true;
}

[[noreturn]] void report_failure(child_start& start, const char* step) {
  start.failure = {step, errno};
  // Since the record is smaller than PIPE_BUF, the write is atomic.
  if (start.report_fd >= 0)
    while (write(start.report_fd, &start.failure, sizeof start.failure) < 0 && errno == EINTR) {
    }
  _exit(127);
}

// Runs in the child, every signal still blocked. A handler of the parent's
// must not run here once the mask is the caller's, so each goes back to its
// default; what the caller ignored stays ignored, and nothing else is (the
// library's own signals it refuses to touch). Only then is the caller's mask
// put back, just before the exec, which ends the window.
int start_in_child(void* data) {
  auto& start = *static_cast<child_start*>(data);
  start.reached = true;
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
  // A parent gone before this would never send the signal. A parent outside
  // our PID namespace reads as 0, and then its end cannot be told. The
  // parent-death signal is Linux's (FreeBSD: procctl PROC_PDEATHSIG_CTL).
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  pid_t parent = getppid();
  if (parent != start.parent && parent != 0) _exit(127);
  if (!place_descriptors(start)) report_failure(start, "dup2");
  sigprocmask(SIG_SETMASK, start.plan->child_mask, nullptr);
  if (start.search_list != nullptr) {
    errno = exec_found(start);
  } else {
    exec_file(start, start.plan->program);
  }
  report_failure(start, "spawn");
}

// The child shares the parent's memory and runs on a stack of its own until
// it execs, as a careful posix_spawn does; the parent sleeps meanwhile. Under
// the sanitizers, and where a sandbox refuses such a clone, a plain fork:
// the sanitizers' runtime cannot follow a second stack. clone is Linux's:
// elsewhere vfork is the nearest.
pid_t start_child(child_start* start) {
#if !defined(__SANITIZE_ADDRESS__)
  alignas(16) char stack[16384];
  pid_t cloned =
      clone(start_in_child, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, start);
  if (cloned >= 0 || (errno != EPERM && errno != ENOSYS && errno != EINVAL)) return cloned;
#endif
  pid_t pid = fork();
  if (pid == 0) start_in_child(start);
  return pid;
}

int create_pipe(pex_pipeline*, int* fds, int);

int spawn_process(pid_t* pid, const pex_child_plan* plan, const char** step) {
  child_start start = {plan, nullptr, nullptr, nullptr, getpid(), -1, false, {nullptr, 0}};
  if (plan->path_search && strchr(plan->program, '/') == nullptr) {
    const char* path = getenv("PATH");
    start.search_list = path != nullptr ? path : "/bin:/usr/bin";
    start.candidate =
        static_cast<char*>(checked_alloc(strlen(start.search_list) + strlen(plan->program) + 2));
  }
  size_t words = 0;
  while (plan->argv[words] != nullptr) ++words;
  start.shell_argv = static_cast<char**>(checked_alloc((words + 3) * sizeof(char*)));
  // An emulator may turn the clone into a fork without a word, and nothing
  // tells before, so the report also goes through a pipe where one can be
  // had. Without descriptors to spare, shared memory still carries it.
  // Above the standard slots, so that no dup2 overwrites it and no slot the
  // caller left closed is inherited as its end.
  int report_pipe[2] = {-1, -1};
  if (create_pipe(nullptr, report_pipe, 0) == 0) start.report_fd = report_pipe[1];
  pid_t child = start_child(&start);
  int error = child < 0 ? errno : 0;
  *step = "spawn";
  if (report_pipe[1] >= 0) close(report_pipe[1]);
  if (child > 0 && !start.reached && report_pipe[0] >= 0) {
    while (read(report_pipe[0], &start.failure, sizeof start.failure) < 0 && errno == EINTR) {
    }
  }
  if (report_pipe[0] >= 0) close(report_pipe[0]);
  if (child > 0 && start.failure.step != nullptr) {
    error = start.failure.error;
    *step = start.failure.step;
    // A child that could not start is ours to reap: the caller never hears of it.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  free(start.candidate);
  free(start.shell_argv);
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
  saved_errno keep;
  close(fd);
  return moved;
}

// Close-on-exec like every descriptor of ours: the child places inheritable
// copies in its standard slots.
int open_for_reading(pex_pipeline*, const char* name, int) {
  return above_standard_slots(open(name, O_RDONLY | O_CLOEXEC));
}

int open_for_writing(pex_pipeline*, const char* name, int) {
  return above_standard_slots(open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

int close_descriptor(pex_pipeline*, int fd) {
  return close(fd);
}

// Pipe ends are close-on-exec, so that no stage inherits them under their own
// numbers and holds the read end of its own pipe open. The child gets its
// copies when it places them in its standard slots. pipe2 is Linux's and the
// BSDs'.
int create_pipe(pex_pipeline*, int* fds, int) {
  if (pipe2(fds, O_CLOEXEC) < 0) return -1;
  for (int i = 0; i < 2; ++i) {
    fds[i] = above_standard_slots(fds[i]);
    if (fds[i] < 0) {
      saved_errno keep;
      close(fds[1 - i]);
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

pex_child_id spawn_child(pex_pipeline*, int flags, const char* program, char* const* argv,
                         char* const* environment, int in_fd, int out_fd, int err_fd, int to_close,
                         const char** message, int* error_code) {
  int child_err_fd = (flags & PEX_MERGE_STDERR) != 0 ? out_fd : err_fd;
  sigset_t caller_mask;
  const pex_child_plan plan = {program,
                               argv,
                               environment != nullptr ? environment : environ,
                               (flags & PEX_PATH_SEARCH) != 0,
                               &caller_mask,
                               {in_fd, out_fd, child_err_fd},
                               to_close};
  for (int retries = 0;;) {
    pid_t pid = 0;
    // Signals wait until the caller's hook knows the child, so a handler that
    // passes them on can never miss it; the child starts with the caller's
    // own mask, not the blocked one.
    hold_all_signals(&caller_mask);
    const char* step = "spawn";
    int spawn_errno = pex_spawn_primitive(&pid, &plan, &step);
    if (spawn_errno == 0 && pid > 0) {
      if (pex_child_started != nullptr) pex_child_started(pid);
      sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
      // The child has its copies; ours above the standard slots are done.
      if (in_fd > 2) close(in_fd);
      if (out_fd > 2) close(out_fd);
      if (err_fd > 2 && err_fd != out_fd) close(err_fd);
      return pid;
    }
    if (spawn_errno == 0) spawn_errno = errno;
    sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    // Every failed attempt is reported, so a start that succeeds after
    // retries still leaves "spawn" and EAGAIN behind.
    *error_code = spawn_errno;
    *message = step;
    if (spawn_errno != EAGAIN || ++retries == 4) return -1;
    pex_retry_pause(1u << retries);
  }
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
  saved_errno keep;
  if (moved == nullptr && fd >= 0) close(fd);
  fclose(stream);
  return moved;
}

int pex_remove_file(const char* name) {
  return remove(name);
}
