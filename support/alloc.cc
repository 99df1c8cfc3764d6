#include "support/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char* alloc_program_name = "";
}  // namespace

void (*fatal_exit_hook)() = nullptr;

void fatal_exit(int status) {
  if (fatal_exit_hook != nullptr) fatal_exit_hook();
  exit(status);
}

void alloc_failure(size_t size) {
  unsigned long total = allocated_since_base();
  fprintf(stderr, "\n%s%sout of memory allocating %lu bytes after a total of %lu bytes\n",
          alloc_program_name, *alloc_program_name != '\0' ? ": " : "",
          static_cast<unsigned long>(size), total);
  fatal_exit(1);
}

void set_alloc_program_name(const char* name) {
  alloc_program_name = name;
  note_allocation_base();
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
