#include "support/temp_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/diagnostics.h"
#include "support/environment.h"
#include "support/saved_errno.h"

namespace {

char* chosen_directory = nullptr;

}  // namespace

size_t usable_temp_directories(const char* directories[temp_directory_candidate_count]) {
  const char* candidates[] = {environment_value("TMPDIR"),
                              environment_value("TMP"),
                              environment_value("TEMP"),
                              "/tmp",
                              "/var/tmp",
                              "/usr/tmp",
                              "/tmp"};
  static_assert(sizeof candidates / sizeof candidates[0] == temp_directory_candidate_count);
  size_t count = 0;
  for (const char* candidate : candidates)
    if (usable_temp_directory(candidate)) directories[count++] = candidate;
  return count;
}

const char* temp_directory() {
  if (chosen_directory != nullptr) return chosen_directory;
  const char* usable[temp_directory_candidate_count];
  const char* directory = usable_temp_directories(usable) > 0 ? usable[0] : ".";
  size_t length = strlen(directory);
  // The '/' goes on even after a trailing one: names stay predictable.
  char* copy = static_cast<char*>(checked_alloc(length + 2));
  memcpy(copy, directory, length);
  copy[length] = '/';
  copy[length + 1] = '\0';
  chosen_directory = copy;
  return chosen_directory;
}

char* create_temp_file(const char* directory, const char* suffix, int* fd) {
  if (suffix == nullptr) suffix = "";
  size_t directory_length = strlen(directory);
  size_t suffix_length = strlen(suffix);
  char* name = static_cast<char*>(checked_alloc(directory_length + 8 + suffix_length + 1));
  memcpy(name, directory, directory_length);
  memcpy(name + directory_length, "ccXXXXXX", 8);
  memcpy(name + directory_length + 8, suffix, suffix_length + 1);
  *fd = make_unique_file(name, static_cast<int>(suffix_length));
  if (*fd >= 0) return name;
  saved_errno keep;
  free(name);
  return nullptr;
}

char* reserve_temp_file(const char* suffix) {
  const char* directory = temp_directory();
  int fd = -1;
  char* name = create_temp_file(directory, suffix, &fd);
  if (name == nullptr) {
    print_error("Cannot create temporary file in %s: %s\n", directory, strerror(errno));
    abort();
  }
  if (close(fd) != 0) abort();
  return name;
}
