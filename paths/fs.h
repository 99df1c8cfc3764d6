// What the path code asks of the file system, one file per platform
// (fs_posix.cc, fs_win32.cc). Paths are UTF-8 on every platform.
#pragma once

// Separates the directories of PATH and of a search list's string.
extern const char path_list_separator;

// A regular file the program could be started from.
bool is_executable_file(const char* path);

// Not a directory, and passes the access test `mode` (R_OK, W_OK, X_OK).
bool is_usable_file(const char* path, int mode);

// Passes the access test `mode`, whatever the file is.
bool is_accessible(const char* path, int mode);

// Whether two components of split paths name the same directory.
bool same_path_component(const char* left, const char* right);

// The first `c` in `text`, or its terminator.
const char* find_or_end(const char* text, char c);
