// What the wrapper chain asks of the system, one file per platform
// (start_chain_posix.cc, start_chain_win32.cc): whether the process
// `wrapper` waits above this one; this process's id; and how the tool gets
// the chain entry `text`: in the environment built for it, or, where the
// system converts environments, in the wrapper's own (null then: the tool
// inherits it).
//
// Linux-only in start_chain_posix.cc: /proc/<pid>/stat in waits_above, which
// falls back to kill(pid, 0) where it cannot be read.
#pragma once

bool waits_above(unsigned long long wrapper);
unsigned long long own_process_id();
char** hand_over_environment(char** environment, const char* text);
