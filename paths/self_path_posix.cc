#include <limits.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "paths/relocate.h"

char* running_program_path() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length > 0 && static_cast<size_t>(length) < sizeof path) {
    path[length] = '\0';
    return strdup(path);
  }
  // Without /proc, the path the program was started by, taken from the
  // directory it was started in: nothing has changed that directory yet.
  auto started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (started == nullptr || realpath(started, path) == nullptr) return nullptr;
  return strdup(path);
}
