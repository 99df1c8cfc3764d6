// Checked allocation and the one way the process ends on exhausted memory.
// The allocators never return null: on failure they print a single message to
// standard error and end the process with status 1 through fatal_exit. What
// they return belongs to the caller and goes back with free().
#pragma once

#include <cstddef>

void* checked_alloc(size_t size);
void* checked_calloc(size_t count, size_t size);
void* checked_realloc(void* block, size_t size);
char* checked_strdup(const char* text);

// Prints the out-of-memory message for a request of `size` bytes and exits 1.
[[noreturn]] void alloc_failure(size_t size);

// Names the program in the failure message, keeping the pointer. The first
// call also fixes where the reported total is measured from.
void set_alloc_program_name(const char* name);

// Clean-up that fatal_exit runs before exit(), or null for none.
extern void (*fatal_exit_hook)();

// Runs fatal_exit_hook, then exit(status), so exit handlers run and streams flush.
[[noreturn]] void fatal_exit(int status);

// Marks where the out-of-memory total is measured from (the first call wins),
// and the bytes the process has taken since then. One file per platform
// (alloc_posix.cc, alloc_win32.cc).
void note_allocation_base();
unsigned long allocated_since_base();
