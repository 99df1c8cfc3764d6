// The POSIX back end of the pipeline engine. The parent never touches its own
// descriptors for a child: the child places the stage's descriptors in 0, 1
// and 2 itself, closes to_close, then execs. The back end keeps no state.
//
// Every child starts as if the engine's caller had started it: with the
// caller's signal mask and the signals ignored at the spawn (and no others),
// no handler of the parent's, and dying with the process that started it
// (SIGKILL when that process ends for any reason), as the Windows job does,
// since the engine waits for every child it starts. A file without a "#!"
// line runs under /bin/sh, as from a shell or make.
//
// What cannot be told: a child whose parent lies outside its PID namespace
// sees no parent (getppid() is 0), so it cannot tell whether the parent died
// before the parent-death signal was armed, and starts its program anyway.
// macOS and the BSDs but FreeBSD (procctl PROC_PDEATHSIG_CTL) have no
// parent-death signal, so there a child may outlive a killed parent.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "pex/pex.h"

// A pipeline bound to the POSIX back end; never null.
pex_pipeline* pex_create_posix(int creation_flags, const char* program_label,
                               const char* temp_prefix);

// Called, when set, with each child's process id as soon as the child exists.
// Every signal is held from just before the spawn until the hook returns, so a
// signal handler that reads what the hook recorded never misses a child.
extern void (*pex_child_started)(pid_t pid);
// Called, when set, with a child that has ended but is not yet reaped, so its
// process id is still its own. Every signal is held from then until the reap.
extern void (*pex_child_ended)(pid_t pid);

// What the spawn primitive starts: `fds` go to the child's 0, 1 and 2 (-1
// leaves that slot closed), `to_close` (-1 for none) is closed in it, and it
// starts with child_mask as its signal mask.
struct pex_child_plan {
  const char* program;
  char* const* argv;
  char* const* environment;
  bool path_search;
  const sigset_t* child_mask;
  int fds[3];
  int to_close;
};

// Test seams, plain pointers with constant initialisers. The spawn primitive
// returns 0 with *pid set, or an error number (errno untouched) with *step
// naming what failed: "dup2" placing a descriptor, "spawn" the start or the
// exec. The caller holds every signal across the call.
using pex_spawn_function = int (*)(pid_t* pid, const pex_child_plan* plan, const char** step);
extern pex_spawn_function pex_spawn_primitive;

// The pause between spawn attempts that failed with EAGAIN (2, 4, 8 seconds).
extern void (*pex_retry_pause)(unsigned int seconds);
