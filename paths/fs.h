// What the programs ask of the file system, one file per platform (fs_posix.cc,
// fs_win32.cc). Paths are UTF-8 on every platform. On Windows each query
// converts its path to UTF-16 through the checked allocators, so running out
// of memory there ends the process instead of giving false or null.
#pragma once

#include <cstddef>

#include "support/path_list.h"

// A regular file the program could be started from.
bool is_executable_file(const char* path);

// Not a directory, and passes the access test `mode` (R_OK, W_OK, X_OK).
bool is_usable_file(const char* path, int mode);

// Passes the access test `mode`, whatever the file is.
bool is_accessible(const char* path, int mode);

// Room for a resolved path, the terminator included.
constexpr size_t resolved_path_size = 4096;

// The absolute path of `path` with every link resolved, in `resolved`
// (resolved_path_size bytes). False when it cannot be resolved.
bool resolve_path(const char* path, char* resolved);

// A copy of the resolved absolute path, or of `path` unchanged when it cannot
// be resolved (on Windows with '/' for each backslash). Null only when the copy
// cannot be allocated. The caller frees it.
char* canonical_path_copy(const char* path);

// Whether two components of split paths name the same directory.
bool same_path_component(const char* left, const char* right);

// The first separator in `text`, or its terminator.
const char* find_separator_or_end(const char* text);

// A file's identity, the same under every link: device and inode, or on
// Windows volume serial number and file index. False when it cannot be told.
bool file_identity(const char* path, unsigned long long* device, unsigned long long* index);

// The identity of the running program's own file, as file_identity gives it.
// On POSIX it is taken once per run.
bool running_program_identity(unsigned long long* device, unsigned long long* index);

// The running program's own file as an absolute path without symbolic links,
// or null when the system cannot tell. The caller frees it.
char* running_program_path();

// Windows only: the system's final name of a file ("\\?\C:\...",
// "\\?\UNC\server\...") spelled as the relocation reads paths, into `resolved`
// (resolved_path_size bytes). The long-form prefix goes and each backslash
// becomes '/'. False when it does not fit.
bool spell_final_path(wchar_t* final_path, char* resolved);
