// Joining the components gives the path back; each one is a run of other
// bytes followed by a whole run of '/', which only the last may lack.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "paths/relocate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = split_input(data, size, 1)[0];

  int count = -1;
  char** components = split_path_components(path.c_str(), &count);
  if (path.empty()) {
    require(components == nullptr && count == -1);
    return 0;
  }
  require(components != nullptr);

  std::string joined;
  int seen = 0;
  for (char** c = components; *c != nullptr; ++c, ++seen) {
    std::string component = *c;
    require(!component.empty());
    size_t slash = component.find('/');
    bool last = c[1] == nullptr;
    if (slash == std::string::npos) {
      require(last);
    } else {
      require(component.find_first_not_of('/', slash) == std::string::npos);
      if (!last) require(c[1][0] != '/');
    }
    joined += component;
  }
  require(seen == count);
  require(joined == path);

  char** again = split_path_components(path.c_str(), nullptr);
  require(again != nullptr);
  for (int i = 0; i <= count; ++i) {
    require((again[i] == nullptr) == (components[i] == nullptr));
    if (again[i] != nullptr) require(strcmp(again[i], components[i]) == 0);
  }
  free_path_components(again);
  free_path_components(components);
  return 0;
}
