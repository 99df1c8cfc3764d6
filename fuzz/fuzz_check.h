// Shared by the fuzz targets: a failed property traps so the fuzzer reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline void require(bool holds) {
  if (!holds) __builtin_trap();
}

// The input cut at zero bytes into at most `limit` strings; missing ones are
// absent from the result, the last one keeps any further zero bytes cut off.
inline std::vector<std::string> split_input(const uint8_t* data, size_t size, size_t limit) {
  std::vector<std::string> parts;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.push_back(current);
      current.clear();
      if (parts.size() == limit) return parts;
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  parts.push_back(current);
  return parts;
}
