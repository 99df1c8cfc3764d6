// The Windows back end of the pipeline engine. Descriptors are the C
// runtime's and never inherited. A child gets exactly its three standard
// handles (inheritable copies made for the spawn) and runs in a job that ends
// it when this process ends. A child's id is its process handle, which the
// wait closes, and its status is its 32-bit exit code. A program name without
// an extension gets ".exe". With PEX_PATH_SEARCH, a name without a directory
// is sought in PATH (';'-separated).
#pragma once

#include <windows.h>

#include <cstddef>

#include "pex/pex.h"

// A pipeline bound to the Windows back end; never null.
pex_pipeline* pex_create_win32(int creation_flags, const char* program_label,
                               const char* temp_prefix);

// The command line spawn_child builds from argv (UTF-8), each argument quoted
// so that the C runtime's parsing gives it back unchanged. It comes from
// checked_alloc, and the caller frees it.
wchar_t* win32_command_line(char* const* argv);

// Its length in UTF-16 units, the terminator included. The system refuses
// more than 32,767.
size_t win32_command_line_length(char* const* argv);

// Test seam, a plain pointer with a constant initialiser: the call that
// creates a child, CreateProcessW unless a test fails it on purpose.
extern decltype(&CreateProcessW) pex_create_process;
