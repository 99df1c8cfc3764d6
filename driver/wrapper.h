// The wrapper's whole run: find the plugin and the wrapped tool inside this
// installation, start the tool with "--plugin <plugin>" ahead of the caller's
// arguments, wait, and return its exit status (1 for every failure of ours).
// Lookup failures end the process with exit(1). Nothing it allocates is freed:
// the process ends right after.
#pragma once

#include "pex/pex.h"

int wrapper_main(int argc, char** argv);

// The wrapper's exit status for how the tool ended; prints the line that
// names how it died when it did not exit. Stopped children and stray core
// bits cannot be made to happen end to end, so the tests call this directly.
int exit_status_of(const pex_outcome& outcome, const char* tool_path);
