// Temporary files. The directory is chosen once per run, the first usable one
// of TMPDIR, TMP, TEMP, /tmp, /var/tmp and /usr/tmp, else ".", and it always
// ends with '/'. reserve_temp_file ends the process when it cannot create a
// file, while create_temp_file leaves that failure to its caller. The platform
// half lives in temp_file_posix.cc and temp_file_win32.cc.
#pragma once

#include <cstddef>

// The chosen directory. This module owns it and gives the same string on
// every call.
const char* temp_directory();

// Fills `directories` with the usable ones among those temp_directory chooses
// from, in its order, so the first is its choice. Returns how many.
constexpr size_t temp_directory_candidate_count = 7;
size_t usable_temp_directories(const char* directories[temp_directory_candidate_count]);

// Whether temporary files can be made in `directory`. False for null.
bool usable_temp_directory(const char* directory);

// Creates a new, empty, closed file named <dir>ccXXXXXX<suffix> and returns its
// name, which the caller frees. A null suffix counts as empty. When no file
// can be created it prints a message and aborts.
char* reserve_temp_file(const char* suffix);

// Creates the file as reserve_temp_file does, but in `directory` (which ends
// with '/') and left open in *fd. On failure it returns null with errno set,
// and nothing is left behind.
char* create_temp_file(const char* directory, const char* suffix, int* fd);

// Works as mkstemps: the six X's before the last `suffix_length` bytes of
// `name` are replaced until a new file can be created exclusively. Returns its
// open descriptor, or -1 with errno set.
int make_unique_file(char* name, int suffix_length);
