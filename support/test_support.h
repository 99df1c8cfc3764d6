// Plumbing the tests of every folder share: whether the sanitizer is in, one
// throw-away directory, one file reader, one owner for a malloc'd string and one
// argument vector.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

// Whether the address sanitizer's runtime is in the program.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

// A fresh directory for one scope, removed with its contents afterwards. Its
// name is absolute, spelled with '/', and empty when it could not be made.
struct temp_dir {
  temp_dir() {
#ifdef _WIN32
    // Wine hands out the same small process ids after each fresh server, so
    // the id alone names folders of earlier runs. The clock tells runs apart,
    // and a name that exists all the same is never taken over.
    LARGE_INTEGER clock;
    QueryPerformanceCounter(&clock);
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error) /
                                 ("vesk_test." + std::to_string(GetCurrentProcessId()) + "." +
                                  std::to_string(clock.QuadPart) + ".");
    for (int attempt = 0; attempt < 100 && name.empty() && !error; ++attempt) {
      std::filesystem::path candidate = base;
      candidate += std::to_string(attempt);
      if (!std::filesystem::create_directory(candidate, error)) continue;
      std::u8string spelled = candidate.generic_u8string();
      name.assign(spelled.begin(), spelled.end());
    }
#else
    char pattern[] = "/tmp/vesk_test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) name = std::filesystem::canonical(pattern).string();
#endif
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!name.empty()) std::filesystem::remove_all(name, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path(const char* leaf) const {
    return name + "/" + leaf;
  }
  std::string name;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Takes ownership of a malloc'd string; nullopt for null.
inline std::optional<std::string> take_string(char* text) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  free(text);
  return copy;
}

// An argument vector of owned words, null-ended as the engine takes it.
struct argv_words {
  argv_words(std::initializer_list<std::string> list) : argv_words(std::vector(list)) {}
  explicit argv_words(std::vector<std::string> list) : words(std::move(list)) {
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
  }
  argv_words(const argv_words& other) : argv_words(other.words) {}
  operator char* const*() const { return pointers.data(); }
  std::vector<std::string> words;
  std::vector<char*> pointers;
};
