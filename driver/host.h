// What the wrapper asks of the host system, one file per platform
// (host_posix.cc, host_win32.cc): its own path, where a response file goes
// and how its text is spelled, and what the tool's status means. Nothing here
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

// `path` as the tool's narrow command line can hold it: itself, or else
// another name of the same file (its short name); null when it has none.
const char* path_for_tool(const char* path);

// The folder a response file goes in, ending with a separator: one whose
// name the tool can read on its command line. Null with errno set when no
// folder will do.
char* response_file_directory();

// `argument` in the bytes the tool reads a response file in: a copy the
// caller frees, or null with errno EILSEQ when they cannot hold it.
char* response_file_text(const char* argument);

void remove_response_file(const char* name);

// The words for signal `signal_number` in the line that says the tool died
// of it; never asked where there are no signals.
const char* signal_description(int signal_number);

// The words for an exception the system reports in place of an exit code, or
// null when `code` is none (always, where there are none).
const char* exception_description(unsigned long code);
