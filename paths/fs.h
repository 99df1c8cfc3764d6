// What the path code asks of the file system, one file per platform
// (fs_posix.cc, fs_win32.cc). Paths are UTF-8 on every platform.
#pragma once

#include <cstddef>

#include "support/path_list.h"

// Those files also define running_program_path, running_program_identity,
// file_identity and canonical_path_copy, which the other modules reach
// through relocate.h.
//
// Linux-only in fs_posix.cc: strchrnul in find_separator_or_end, and
// /proc/self/exe with getauxval(AT_EXECFN) as its fallback in
// running_program_path and running_program_identity.

// A regular file the program could be started from.
bool is_executable_file(const char* path);

// Not a directory, and passes the access test `mode` (R_OK, W_OK, X_OK).
bool is_usable_file(const char* path, int mode);

// Passes the access test `mode`, whatever the file is.
bool is_accessible(const char* path, int mode);

// Room for a resolved path, the terminator included.
constexpr size_t resolved_path_size = 4096;

// The absolute path of `path` with every link resolved, in `resolved`
// (resolved_path_size bytes); false when it cannot be resolved.
bool resolve_path(const char* path, char* resolved);

// Whether two components of split paths name the same directory.
bool same_path_component(const char* left, const char* right);

// The first separator in `text`, or its terminator.
const char* find_separator_or_end(const char* text);

// Windows only (fs_win32.cc): the system's final name of a file ("\\?\C:\...",
// "\\?\UNC\server\...") spelled as the relocation reads paths, into `resolved` (resolved_path_size
// bytes): no long-form prefix, '/' for each backslash. False when it does not fit.
bool spell_final_path(wchar_t* final_path, char* resolved);
