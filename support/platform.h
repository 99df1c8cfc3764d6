// What the support library asks of the operating system, one file per
// platform (support_posix.cc, support_win32.cc). Those files define what
// follows, and besides: environment_value (environment.h), print_error
// (diagnostics.h), make_unique_file (temp_file.h) and, on Windows,
// held_environment (win32_text.h).
//
// Beyond POSIX in support_posix.cc: sbrk, in note_allocation_base and
// allocated_since_base.
#pragma once

// Marks where the out-of-memory total is measured from (the first call wins),
// and the bytes the process has taken since then.
void note_allocation_base();
unsigned long allocated_since_base();

// A directory in which temporary files can be made.
bool usable_temp_directory(const char* directory);
