// Strings built from a list of pieces: the variable arguments of a call, each a
// null-terminated string, ended by a null pointer. A null first piece makes the
// list empty. Fresh strings come from checked_alloc and go back with free().
#pragma once

#include <cstddef>

// Destination of concat_into_shared. The caller points it at enough storage.
extern char* concat_shared_buffer;

size_t concat_total_length(const char* first, ...);

// Copies the pieces into `destination`, which must hold total length + 1 bytes.
char* concat_into(char* destination, const char* first, ...);
char* concat_into_shared(const char* first, ...);

char* concat_strings(const char* first, ...);

// Builds the new string first, then frees `previous` (which may be null), so
// `previous` may itself be one of the pieces.
char* concat_replace(char* previous, const char* first, ...);
