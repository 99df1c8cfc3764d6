#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/diagnostics.h"
#include "support/environment.h"
#include "support/platform.h"
#include "support/temp_file.h"

const char* environment_value(const char* name) {
  return getenv(name);
}

void print_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
}

namespace {
void* initial_break = nullptr;
}  // namespace

void note_allocation_base() {
  if (initial_break == nullptr) initial_break = sbrk(0);
}

unsigned long allocated_since_base() {
  // Without a recorded break, a variable of our own stands for the start of
  // static data. environ would not do everywhere: where a dynamically linked
  // program reaches it through the GOT (aarch64 does), it lies in the C
  // library's data, far from the heap. Addresses, not pointers, are
  // subtracted: the two lie in different objects.
  uintptr_t current = reinterpret_cast<uintptr_t>(sbrk(0));
  uintptr_t base = initial_break != nullptr ? reinterpret_cast<uintptr_t>(initial_break)
                                            : reinterpret_cast<uintptr_t>(&initial_break);
  return static_cast<unsigned long>(current - base);
}

// access() alone lets through a plain file that has an execute bit, where no
// file can be made.
bool usable_temp_directory(const char* directory) {
  struct stat info;
  return directory != nullptr && access(directory, R_OK | W_OK | X_OK) == 0 &&
         stat(directory, &info) == 0 && S_ISDIR(info.st_mode);
}

int make_unique_file(char* name, int suffix_length) {
  return mkstemps(name, suffix_length);
}
