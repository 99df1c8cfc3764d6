#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "paths/fs.h"

bool is_executable_file(const char* path) {
  struct stat info;
  return access(path, X_OK) == 0 && stat(path, &info) >= 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

bool is_usable_file(const char* path, int mode) {
  struct stat info;
  return stat(path, &info) == 0 && (info.st_mode & S_IFMT) != S_IFDIR && access(path, mode) == 0;
}

bool is_accessible(const char* path, int mode) {
  return access(path, mode) == 0;
}

// Porting: strchrnul is a GNU and BSD extension, not POSIX.
const char* find_separator_or_end(const char* text) {
  return strchrnul(text, '/');
}

bool same_path_component(const char* left, const char* right) {
  return strcmp(left, right) == 0;
}

static_assert(resolved_path_size >= PATH_MAX, "realpath fills PATH_MAX bytes");

bool resolve_path(const char* path, char* resolved) {
  return realpath(path, resolved) != nullptr;
}

char* canonical_path_copy(const char* path) {
  char resolved[resolved_path_size];
  return strdup(resolve_path(path, resolved) ? resolved : path);
}

bool file_identity(const char* path, unsigned long long* device, unsigned long long* index) {
  struct stat info;
  if (stat(path, &info) != 0) return false;
  *device = static_cast<unsigned long long>(info.st_dev);
  *index = static_cast<unsigned long long>(info.st_ino);
  return true;
}

namespace {

// Without /proc, the path the program was started by, taken from the
// directory it was started in: nothing has changed that directory yet.
// Porting: /proc/self/exe and getauxval(AT_EXECFN) are Linux's own.
const char* started_path() {
  return reinterpret_cast<const char*>(getauxval(AT_EXECFN));
}

}  // namespace

// Opened rather than followed by stat: an emulator that runs this program
// (qemu-user) answers for the link only when it is opened, and stat would
// name the emulator. Taken once: the checks of argv[0] and of the tool share it.
bool running_program_identity(unsigned long long* device, unsigned long long* index) {
  static bool asked = false, known = false;
  static unsigned long long own_device = 0, own_index = 0;
  if (!asked) {
    asked = true;
    int self = open("/proc/self/exe", O_PATH | O_CLOEXEC);
    struct stat info;
    known = self >= 0 && fstat(self, &info) == 0;
    if (self >= 0) close(self);
    if (known) {
      own_device = static_cast<unsigned long long>(info.st_dev);
      own_index = static_cast<unsigned long long>(info.st_ino);
    } else {
      const char* started = started_path();
      known = started != nullptr && file_identity(started, &own_device, &own_index);
    }
  }
  *device = own_device;
  *index = own_index;
  return known;
}

char* running_program_path() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length > 0 && static_cast<size_t>(length) < sizeof path) {
    path[length] = '\0';
    return strdup(path);
  }
  const char* started = started_path();
  if (started == nullptr || realpath(started, path) == nullptr) return nullptr;
  return strdup(path);
}
