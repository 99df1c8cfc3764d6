// A wrapper started again by a wrapper of its own installation, by whatever
// road (a script whose "#!" line names a wrapper, links that cross between
// the wrappers), would start the next one until the process limit. Each
// wrapper therefore hands its tool, in VESK_WRAPPER_CHAIN, the wrappers that
// wait above it, "<pid>:<device>:<inode>" each in hexadecimal with ',' between (the
// installation told by its plugin file), then ';' and the file the nearest one
// started. Where the system converts environments (Windows) the entry goes
// into the wrapper's own environment, which the tool inherits; elsewhere the
// wrapper's own is left as it is.
#pragma once

#include <cstddef>

inline constexpr char wrapper_chain_variable[] = "VESK_WRAPPER_CHAIN";

// The file started by a wrapper of the installation whose plugin file is
// `plugin_device`:`plugin_index` that still waits above this process, pointing
// into `chain` (the variable's value); null when the chain names no such wrapper.
const char* file_that_led_back(const char* chain, unsigned long long plugin_device,
                               unsigned long long plugin_index);

// Hands the tool the chain: the `count` entries of `environment` with the
// chain variable, at `chain_slot` when `chain` is its value there, else added,
// holding this wrapper (and its plugin file's identity) as well. Returns that
// environment to start the tool with, one block from the checked allocators;
// or null where the entry went into the wrapper's own environment instead
// (Windows), which the tool inherits.
char** hand_chain_to_tool(char* const* environment, size_t count, const char* chain,
                          size_t chain_slot, unsigned long long plugin_device,
                          unsigned long long plugin_index, const char* tool_path);
