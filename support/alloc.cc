#include "support/alloc.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {
const char* alloc_program_name = "";
void* alloc_initial_break = nullptr;
}  // namespace

void (*fatal_exit_hook)() = nullptr;

void fatal_exit(int status) {
  if (fatal_exit_hook != nullptr) fatal_exit_hook();
  exit(status);
}

void alloc_failure(size_t size) {
  // Without a recorded break, environ stands for the start of static data.
  // Addresses, not pointers, are subtracted: the two lie in different objects.
  uintptr_t current = reinterpret_cast<uintptr_t>(sbrk(0));
  uintptr_t base = alloc_initial_break != nullptr ? reinterpret_cast<uintptr_t>(alloc_initial_break)
                                                  : reinterpret_cast<uintptr_t>(&environ);
  unsigned long total = static_cast<unsigned long>(current - base);
  fprintf(stderr, "\n%s%sout of memory allocating %lu bytes after a total of %lu bytes\n",
          alloc_program_name, *alloc_program_name != '\0' ? ": " : "",
          static_cast<unsigned long>(size), total);
  fatal_exit(1);
}

void set_alloc_program_name(const char* name) {
  alloc_program_name = name;
  if (alloc_initial_break == nullptr) alloc_initial_break = sbrk(0);
}

void* checked_alloc(size_t size) {
  if (size == 0) size = 1;
  void* block = malloc(size);
  if (block == nullptr) alloc_failure(size);
  return block;
}

void* checked_calloc(size_t count, size_t size) {
  if (count == 0 || size == 0) count = size = 1;
  void* block = calloc(count, size);
  if (block == nullptr) alloc_failure(count * size);
  return block;
}

void* checked_realloc(void* block, size_t size) {
  if (size == 0) size = 1;
  void* resized = block == nullptr ? malloc(size) : realloc(block, size);
  if (resized == nullptr) alloc_failure(size);
  return resized;
}

char* checked_strdup(const char* text) {
  size_t length = strlen(text);
  char* copy = static_cast<char*>(checked_alloc(length + 1));
  memcpy(copy, text, length + 1);
  return copy;
}
