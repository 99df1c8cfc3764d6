// The tool's command line when the system refuses it as too long: the
// caller's arguments go in a response file, one a line, white space, quotes
// and backslashes escaped by a backslash, and the tool gets "@file" after
// "--plugin <path>". The file is removed once the tool has ended. Shared by
// both builds; where the file goes and how an argument is spelled in it are
// the host's (host.h).
#pragma once

#include <cstdio>

#include "pex/pex.h"

// Runs the tool as the only stage with the wrapper's standard streams and
// `environment` (null: the wrapper's own). Only when the start is refused
// with E2BIG is it tried once more through a response file. The engine's
// message or null, with how the tool ended through `outcome`.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code);

// Writes `bytes` as one argument's line; false with errno set when the write fails.
bool write_response_line(FILE* out, const char* bytes);

// A new response file in `directory` (ending with a separator), each argument
// written by `write_line`; its name, or null with errno set and no file left.
char* write_response_file_in(const char* directory, char* const* arguments,
                             bool (*write_line)(FILE* out, const char* argument));
