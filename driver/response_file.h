// The tool's command line when the system refuses it as too long: the
// caller's arguments go in a response file, one a line, white space, quotes
// and backslashes escaped by a backslash, and the tool gets "@file" after
// "--plugin <path>". The file is removed once the tool has ended. Shared by
// both builds; where the file goes and the bytes an argument is spelled in
// are the host's (host.h).
#pragma once

#include "pex/pex.h"

// Runs the tool as the only stage with the wrapper's standard streams and
// `environment` (null: the wrapper's own). Only when the start is refused
// with E2BIG is it tried once more through a response file. The engine's
// message or null, with how the tool ended through `outcome`.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code);
