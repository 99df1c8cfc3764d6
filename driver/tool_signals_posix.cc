#include "driver/tool_signals.h"

#include <signal.h>
#include <sys/resource.h>

#include <cerrno>

#include "pex/posix_backend.h"

namespace {

constexpr int passed_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

volatile sig_atomic_t tool_pid;
volatile sig_atomic_t passed_on;  // bit n: signal n reached the tool through us

void record_tool(pid_t pid) {
  tool_pid = pid;
}

// The tool has ended and is about to be reaped: its number may soon be another's.
void forget_tool(pid_t) {
  tool_pid = 0;
}

// Also false for 0 (an exit) and for numbers no bit can hold (0x7f, a stop).
bool was_passed_on(int signal_number) {
  return signal_number < 31 && (passed_on & (1 << signal_number)) != 0;
}

void pass_on(int signal_number) {
  pid_t pid = tool_pid;
  if (pid <= 0) {
    // No tool to stand for: end as a wrapper without handlers would. The
    // signal is blocked in here and strikes as the handler returns.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  int saved_errno = errno;
  passed_on = passed_on | (1 << signal_number);
  kill(pid, signal_number);
  errno = saved_errno;
}

}  // namespace

void pass_signals_to_tool() {
  // An ignored SIGCHLD, inherited from the caller, would have the kernel reap
  // the tool before the wait could read its status.
  signal(SIGCHLD, SIG_DFL);
  pex_child_started = record_tool;
  pex_child_ended = forget_tool;

  struct sigaction action = {};
  action.sa_handler = pass_on;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : passed_signals) sigaddset(&action.sa_mask, signal_number);
  // Asked before the handler goes in: one installed even for a moment would
  // let a signal the caller ignores end the wrapper.
  for (int signal_number : passed_signals) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  }
}

void end_like_tool(int status) {
  int signal_number = status & 0x7f;
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
