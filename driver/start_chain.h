// A wrapper started again by a wrapper of its own installation, by whatever
// road (a script whose "#!" line names a wrapper, links that cross between
// the wrappers), would start the next one until the process limit. Each
// wrapper therefore hands its tool, in VESK_WRAPPER_CHAIN, the wrappers that
// wait above it, "<pid>:<device>:<inode>" each in hexadecimal with ',' between (the
// installation told by its plugin file), then ';' and the file the nearest one
// started. The wrapper's own environment is left as it is.
#pragma once

#include <cstddef>

inline constexpr char wrapper_chain_variable[] = "VESK_WRAPPER_CHAIN";

// The file started by a wrapper of the installation whose plugin is
// `plugin_path` that still waits above this process, pointing into `chain`
// (the variable's value); null when the chain names no such wrapper.
const char* file_that_led_back(const char* chain, const char* plugin_path);

// The tool's environment: the `count` entries of `environment` with the
// chain variable, at `chain_slot` when `chain` is its value there, else
// added, holding this wrapper as well. One block from the checked allocators.
char** environment_for_tool(char* const* environment, size_t count, const char* chain,
                            size_t chain_slot, const char* plugin_path, const char* tool_path);

// What the chain asks of the system (start_chain_posix.cc, start_chain_win32.cc):
// a file's identity under every link; whether the process `wrapper` waits
// above this one; this process's id; and how the tool gets the chain entry
// `text`: in the environment built for it, or, where the system converts
// environments, in the wrapper's own (null then: the tool inherits it).
bool file_identity(const char* path, unsigned long long* device, unsigned long long* index);
bool waits_above(unsigned long long wrapper);
unsigned long long own_process_id();
char** hand_over_environment(char** environment, const char* text);
