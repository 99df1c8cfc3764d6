// Scoped helpers for the path tests: throw-away directories, environment and
// working-directory changes that are undone on scope exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "paths_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = std::filesystem::canonical(pattern).string();
    }
  }
  ~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  // Absolute, without symbolic links, no trailing '/'.
  const std::string& path() const { return path_; }

  std::string make_dir(const std::string& relative) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
  }

  // Creates a file with the given permission bits, directories included.
  std::string make_file(const std::string& relative, mode_t mode) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full) << "#!/bin/sh\n";
    chmod(full.c_str(), mode);
    return full;
  }

  std::string make_link(const std::string& relative, const std::string& target) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::filesystem::create_symlink(target, full);
    return full;
  }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) a variable for the scope.
class scoped_env {
 public:
  scoped_env(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~scoped_env() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class scoped_cwd {
 public:
  explicit scoped_cwd(const std::string& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~scoped_cwd() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  scoped_cwd(const scoped_cwd&) = delete;
  scoped_cwd& operator=(const scoped_cwd&) = delete;

 private:
  std::filesystem::path saved_;
};

// Takes ownership of a malloc'd string.
inline std::optional<std::string> take_string(char* text) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  free(text);
  return copy;
}
