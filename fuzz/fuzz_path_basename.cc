// Both base names point inside the argument, just after a separator (or the
// drive prefix), with no separator after them.
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "paths/relocate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = split_input(data, size, 1)[0];
  const char* path = input.c_str();
  const char* end = path + input.size();

  const char* base = path_basename(path);
  require(base >= path && base <= end);
  require(strpbrk(base, "/\\") == nullptr);
  bool drive =
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
  if (base == path) {
    require(!drive && strpbrk(path, "/\\") == nullptr);
  } else {
    require(base[-1] == '/' || base[-1] == '\\' || (drive && base == path + 2));
  }

  const char* unix_base = unix_path_basename(path);
  require(unix_base >= path && unix_base <= end);
  require(strchr(unix_base, '/') == nullptr);
  if (unix_base == path) {
    require(strchr(path, '/') == nullptr);
  } else {
    require(unix_base[-1] == '/');
  }
  return 0;
}
