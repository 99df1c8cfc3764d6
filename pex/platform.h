// What the engine itself asks of the system outside the back-end table,
// supplied by the platform's back end (posix_backend.cc, win32_backend.cc),
// which also defines pex_outcome_of (pex.h).
// Names are UTF-8.
#pragma once

#include <cstdio>

#include "pex/pex.h"

// A pipeline bound to this platform's back end; never null.
pex_pipeline* pex_create_native(int creation_flags, const char* program_label,
                                const char* temp_prefix);

// fopen for a stream of the engine's own, its descriptor above 2 so that it
// never passes for one of the caller's standard streams. Null with errno on
// failure.
FILE* pex_open_stream(const char* name, const char* mode);

// remove() of an intermediate file.
int pex_remove_file(const char* name);
