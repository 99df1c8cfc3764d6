// Temporary files. The directory is chosen once per run (TMPDIR, TMP, TEMP,
// /tmp, /var/tmp, /usr/tmp, /tmp, else ".") and always ends with '/'.
// reserve_temp_file prints a message and aborts when it cannot create a file;
// create_temp_file leaves that failure to its caller.
#pragma once

#include <cstddef>

// The chosen directory; owned by this module, the same string on every call.
const char* temp_directory();

// Those of the directories temp_directory chooses among that are usable, in
// its order (the first is its choice); how many.
constexpr size_t temp_directory_candidate_count = 7;
size_t usable_temp_directories(const char* directories[temp_directory_candidate_count]);

// Creates a new, empty, closed file named <dir>ccXXXXXX<suffix> and returns its
// name, which the caller owns. A null suffix counts as empty.
char* reserve_temp_file(const char* suffix);

// reserve_temp_file in `directory` (ending with '/') for a caller whose
// failures are its own: the name, the file left open in *fd; or null with
// errno set and nothing created.
char* create_temp_file(const char* directory, const char* suffix, int* fd);

// mkstemps: the six X's before the last `suffix_length` bytes of `name` are
// replaced until a new file can be created exclusively; returns its open
// descriptor, or -1 with errno set.
int make_unique_file(char* name, int suffix_length);
