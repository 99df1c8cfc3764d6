#include "driver/tool_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pex/posix_backend.h"
#include "support/digits.h"

namespace {

// Every signal that can be caught and whose default ends the process, bar
// SIGPIPE, which keeps its default: it tells a writer of its own broken pipe,
// and the tool gets its own when it writes. The stops stop; the real-time
// signals are added when installing.
constexpr int passed_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

volatile sig_atomic_t tool_pid;
// passed_on[n]: signal n reached the tool through us. Indexed, not a bit mask,
// so that every number up to SIGRTMAX has its place.
volatile sig_atomic_t passed_on[NSIG];

// SIGXFSZ and the mask as the caller left them, while a response file is written.
struct sigaction file_size_action;
sigset_t mask_before_writing;
const char* volatile response_file;

void record_tool(pid_t pid) {
  tool_pid = pid;
}

// The tool has ended and is about to be reaped: its number may soon be another's.
void forget_tool(pid_t) {
  tool_pid = 0;
}

// Also false for 0 (an exit) and for numbers no signal has (0x7f, a stop).
bool was_passed_on(int signal_number) {
  return signal_number > 0 && signal_number < NSIG && passed_on[signal_number] != 0;
}

bool is_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE || signal_number == SIGTRAP || signal_number == SIGSYS;
}

// A fault of the wrapper's own, raised by the kernel, and a signal the wrapper
// sent itself (abort) are the wrapper's to die of, not news for the tool.
bool meant_for_tool(int signal_number, const siginfo_t* info) {
  if (info->si_code <= 0) return info->si_pid != getpid();
  return !is_fault(signal_number);
}

// Whether signal `signal_number` waits in the tool's pending sets, as
// /proc/<tool>/status tells them (16 hexadecimal digits, bit n-1 for n).
bool pending_in(pid_t tool, int signal_number) {
  if (signal_number > 64) return false;
  char name[80] = "/proc/";  // room for any number append_digits writes
  strcpy(append_digits(name + strlen(name), static_cast<unsigned>(tool), 10), "/status");
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[2048];
  ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return false;
  text[length] = '\0';
  static const char* const labels[] = {"\nSigPnd:\t", "\nShdPnd:\t"};
  for (const char* label : labels) {
    const char* field = strstr(text, label);
    if (field == nullptr) continue;
    unsigned long long bits = 0;
    if (read_hex(field + strlen(label), &bits) != nullptr && (bits >> (signal_number - 1) & 1) != 0)
      return true;
  }
  return false;
}

// Whether the tool got a copy of its own. A terminal's SIGINT and SIGQUIT,
// and a SIGHUP the kernel sends, go to a whole process group (a hangup's to
// the session leader alone), so a tool still in our group has one. kill()
// of our group and of us alone read the same in siginfo; once the group kill
// has reached every member (setpgid takes the lock it holds throughout), the
// tool's copy shows while it waits undelivered. One the tool has already
// handled cannot be told from none: passing on then costs at most a second
// one, where holding back could leave the tool running under a kill meant
// to end it.
bool tool_has_its_own(int signal_number, const siginfo_t* info, pid_t tool) {
  if (info->si_code == SI_KERNEL) {
    bool to_group = signal_number == SIGINT || signal_number == SIGQUIT ||
                    (signal_number == SIGHUP && getsid(0) != getpid());
    return to_group && getpgid(tool) == getpgrp();
  }
  if (info->si_code != SI_USER) return false;
  setpgid(0, getpgrp());
  return pending_in(tool, signal_number);
}

void pass_on(int signal_number, siginfo_t* info, void*) {
  pid_t pid = tool_pid;
  if (pid <= 0 || !meant_for_tool(signal_number, info)) {
    // End as a wrapper without handlers would, but with no response file
    // left holding the caller's arguments. The signal is blocked in here and
    // strikes as the handler returns, before a fault could repeat.
    if (const char* name = response_file) unlink(name);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  int saved_errno = errno;
  passed_on[signal_number] = 1;
  if (!tool_has_its_own(signal_number, info, pid)) kill(pid, signal_number);
  errno = saved_errno;
}

// Installs the handler unless the caller left the signal ignored. One call
// per signal, so start-up stays cheap; the caller holds every signal, so the
// handler is never live for an ignored one, and putting SIG_IGN back discards
// one that came meanwhile.
void install(int signal_number, const struct sigaction& action) {
  struct sigaction previous;
  if (sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN)
    sigaction(signal_number, &previous, nullptr);
}

}  // namespace

void pass_signals_to_tool() {
  // An ignored SIGCHLD, inherited from the caller, would have the kernel reap
  // the tool before the wait could read its status.
  signal(SIGCHLD, SIG_DFL);
  pex_child_started = record_tool;
  pex_child_ended = forget_tool;

  struct sigaction action = {};
  action.sa_sigaction = pass_on;
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  sigfillset(&action.sa_mask);
  sigset_t caller_mask;
  sigprocmask(SIG_BLOCK, &action.sa_mask, &caller_mask);
  for (int signal_number : passed_signals) install(signal_number, action);
  for (int signal_number = SIGRTMIN, last = SIGRTMAX; signal_number <= last; ++signal_number)
    install(signal_number, action);
  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
}

void hold_signals_while_writing() {
  // A blocked signal is kept pending even while ignored: the file-size one
  // would end the wrapper once let through.
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGXFSZ);
  sigprocmask(SIG_BLOCK, &all, &mask_before_writing);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &file_size_action);
}

void release_held_signals() {
  sigaction(SIGXFSZ, &file_size_action, nullptr);
  sigprocmask(SIG_SETMASK, &mask_before_writing, nullptr);
}

void remove_at_end(const char* name) {
  response_file = name;
}

void end_like_tool(int signal_number) {
  if (!was_passed_on(signal_number)) return;
  // The tool's core, if any, is the one worth keeping.
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal_number);
}
