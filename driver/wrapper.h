// The wrapper's whole run: find the plugin and the wrapped tool inside this
// installation, start the tool with "--plugin <plugin>" ahead of the caller's
// arguments, wait, and return its exit status (1 for every failure of ours).
// Lookup failures end the process with exit(1). Nothing it allocates is freed:
// the process ends right after.
#pragma once

int wrapper_main(int argc, char** argv);
