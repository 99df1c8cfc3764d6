// What the wrapper asks of the host system, one file per platform
// (host_posix.cc, host_win32.cc): its own path, whether a file is this very
// program, how the tool is run and what its status means. Nothing here
// reaches back into the wrapper.
#pragma once

#include "pex/pex.h"

// The process's environment, "NAME=value" entries ending with a null.
char** process_environment();

// PATH's value: `found` when the scan of the environment found it (null when
// it did not).
const char* path_value(const char* found);

// The path that names the running program, as the relocation should see it.
const char* own_path(const char* argv0);

// Runs the tool as the only stage with the wrapper's standard streams and
// `environment` (null: the wrapper's own); the engine's message or null, with
// how the tool ended through `outcome`.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code);

// The words for signal `signal_number` in the line that says the tool died
// of it; never asked where there are no signals.
const char* signal_description(int signal_number);

// The words for an exception the system reports in place of an exit code, or
// null when `code` is none (always, where there are none).
const char* exception_description(unsigned long code);
