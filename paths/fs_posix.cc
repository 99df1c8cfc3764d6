#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "paths/fs.h"
#include "paths/relocate.h"

const char path_list_separator = ':';

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

bool is_path_separator(char c) {
  return c == '/';
}

const char* find_separator_or_end(const char* text) {
  return strchrnul(text, '/');
}

// An empty piece stays: it names the current directory.
bool trim_list_piece(const char**, size_t*) {
  return true;
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
