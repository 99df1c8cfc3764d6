// Scoped helpers for the path tests: throw-away directories with files in
// them, environment and working-directory changes that are undone on scope exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/test_support.h"

// A temporary directory that makes files and links inside itself.
struct scratch_dir : temp_dir {
  // Absolute, without symbolic links, no trailing '/'.
  const std::string& path() const { return name; }

  std::string make_dir(const std::string& relative) const {
    std::string full = name + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
  }

  // Creates a file with the given permission bits, directories included.
  std::string make_file(const std::string& relative, mode_t mode) const {
    std::string full = name + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full) << "#!/bin/sh\n";
    chmod(full.c_str(), mode);
    return full;
  }

  std::string make_link(const std::string& relative, const std::string& target) const {
    std::string full = name + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::filesystem::create_symlink(target, full);
    return full;
  }
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
