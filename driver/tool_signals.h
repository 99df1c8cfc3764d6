// The wrapper stands for the tool under its caller's termination signals:
// a signal sent to the wrapper alone reaches the tool (one the tool has a copy
// of already, from the terminal or a kill of the group, is not sent again),
// and a tool that dies of one the wrapper passed on takes the wrapper with it
// by the same signal, as if the caller had started the tool directly. Signals
// inherited as ignored stay ignored and are not passed on.
//
// Linux-only in tool_signals_posix.cc, all in tool_has_its_own: SI_KERNEL as
// the mark of a signal from the terminal, and /proc/<tool>/status for the
// signals that wait for the tool (without it, such a signal is passed on).
#pragma once

// Before the tool starts: installs the handlers and the engine's hook that
// records the tool, and restores SIGCHLD's default so the tool's status
// cannot be reaped away. A signal that comes before there is a tool ends the
// wrapper the default way.
void pass_signals_to_tool();

// Around the writing of a response file: signals wait until the file is
// recorded, and a file-size limit fails the write (EFBIG) instead of ending
// the wrapper with the file left behind.
void hold_signals_while_writing();
void release_held_signals();

// The response file (null: none) that a signal or console event ending the
// wrapper removes first; the name must stay valid while it is recorded.
void remove_at_end(const char* response_file);

// After the tool ended, by signal `signal_number` or (0) not by one: when it
// is a signal the wrapper passed on, ends the wrapper by it (without a core
// of its own) and does not return; otherwise returns.
void end_like_tool(int signal_number);
