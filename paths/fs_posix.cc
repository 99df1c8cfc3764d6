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

const char* find_or_end(const char* text, char c) {
  return strchrnul(text, c);
}

bool same_path_component(const char* left, const char* right) {
  return strcmp(left, right) == 0;
}

char* canonical_path_copy(const char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) != nullptr) return strdup(resolved);
  return strdup(path);
}
