// One entry per ':' plus one, each the piece with a separator ensured (or
// "./"), `longest` covering every entry; then a lookup through the list, whose
// one candidate buffer must hold every candidate.
// Input: the ':'-separated string, a zero byte, the name to look up.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "paths/search_path.h"

namespace {

bool ends_with_separator(const std::string& s) {
  return !s.empty() && (s.back() == '/' || s.back() == '\\');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = split_input(data, size, 2);
  const std::string& string = parts[0];

  search_path list{};
  load_search_path(string.c_str(), &list);

  size_t entries = 0;
  size_t piece_start = 0;
  for (const search_dir* dir = list.head; dir != nullptr; dir = dir->next, ++entries) {
    std::string prefix = dir->prefix;
    require(prefix.size() <= list.longest);
    require(ends_with_separator(prefix) || prefix == "./");

    require(piece_start <= string.size());
    size_t piece_end = string.find(':', piece_start);
    if (piece_end == std::string::npos) piece_end = string.size();
    std::string piece = string.substr(piece_start, piece_end - piece_start);
    if (piece.empty()) {
      require(prefix == "./");
    } else if (ends_with_separator(piece)) {
      require(prefix == piece);
    } else {
      require(prefix == piece + "/");
    }
    piece_start = piece_end + 1;
  }
  size_t colons = 0;
  for (char c : string) colons += c == ':';
  require(entries == colons + 1);

  if (parts.size() > 1) {
    const std::string& name = parts[1];
    char* found = locate_file(&list, name.c_str(), F_OK);
    if (found != nullptr) {
      bool known = name == found;
      for (const search_dir* dir = list.head; dir != nullptr && !known; dir = dir->next) {
        known = std::string(dir->prefix) + name == found;
      }
      require(known);
      free(found);
    }
  }

  // Lists are never freed by the product; release this one for the leak check.
  for (search_dir* dir = list.head; dir != nullptr;) {
    search_dir* next = dir->next;
    free(dir);
    dir = next;
  }
  return 0;
}
