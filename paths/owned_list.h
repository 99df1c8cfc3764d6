// A search list the test releases.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "paths/search_path.h"

// Search lists are never freed by the product; tests release theirs so the
// leak checker only reports real leaks.
struct owned_list {
  search_path list{};
  ~owned_list() {
    for (search_dir* dir = list.head; dir != nullptr;) {
      search_dir* next = dir->next;
      free(dir);
      dir = next;
    }
  }
  std::vector<std::string> prefixes() const {
    std::vector<std::string> out;
    for (const search_dir* dir = list.head; dir != nullptr; dir = dir->next) {
      out.push_back(dir->prefix);
    }
    return out;
  }
};
