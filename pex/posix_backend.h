// The POSIX back end of the pipeline engine. A child is started with the
// stage's descriptors moved into the parent's slots 0, 1 and 2 for the moment
// of the spawn; the parent's own descriptors are put back afterwards, on
// failure too. The back end keeps no state of its own.
//
// Every child starts as if the engine's caller had started it: with the
// caller's signal mask and the signals ignored at the spawn (and no others),
// no handler of the parent's, and dying with the process that started it
// (SIGKILL when that process ends for any reason), as the Windows job does,
// since the engine waits for every child it starts.
//
// Linux-only calls, one function each, so a BSD or macOS port knows its
// work: pipe2 in create_pipe and spawn_process, dup3 in move_back (pipe and
// dup2 with fcntl(FD_CLOEXEC) elsewhere), clone in clone_child (vfork there),
// strchrnul in exec_found, and prctl(PR_SET_PDEATHSIG) in start_in_child:
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
// Called, when set, with a child that has ended but is not yet reaped, its
// process id still its own; every signal is held from then until the reap.
extern void (*pex_child_ended)(pid_t pid);

// Test seams, plain pointers with constant initialisers. The spawn primitive
// follows posix_spawn: 0 with *pid set, or an error number (errno untouched),
// the failed exec's among them; the child starts with child_mask as its
// signal mask. The caller holds every signal across the call.
using pex_spawn_function = int (*)(pid_t* pid, const char* program, char* const* argv,
                                   char* const* environment, bool path_search,
                                   const sigset_t* child_mask);
extern pex_spawn_function pex_spawn_primitive;

// The pause between spawn attempts that failed with EAGAIN (2, 4, 8 seconds).
extern void (*pex_retry_pause)(unsigned int seconds);
