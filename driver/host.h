// What the wrapper asks of the host system, one file per platform
// (host_posix.cc, host_win32.cc): its own path, whether a file is this very
// program, how the tool is run and what its status means. Nothing here
// reaches back into the wrapper.
#pragma once

// The process's environment, "NAME=value" entries ending with a null.
char** process_environment();

// PATH's value: `found` when the scan of the environment found it (null when
// it did not).
const char* path_value(const char* found);

// The path that names the running program, as the relocation should see it.
const char* own_path(const char* argv0);

// Runs the tool as the only stage with the wrapper's standard streams and
// `environment` (null: the wrapper's own); the engine's message or null, with
// the tool's status through `status`.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, int* status, int* error_code);

// The wrapper's exit status for the tool's status; prints the line that names
// how the tool died when it did not exit. Stopped children and stray core
// bits cannot be made to happen end to end, so the tests call this directly.
int exit_status_of(int status, const char* tool_path);
