// What the end-to-end tests of both builds share: the installation tree, the
// stand-in tool's record, and a launcher each platform's file defines
// (SetUp, TearDown, run and the hooks below). The cases whose outcome is the
// same everywhere are in end_to_end_test.cc, with each platform's own rows.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/config.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

using Strings = std::vector<std::string>;

// Every program the build makes; where they behave alike, tests run them all.
inline const Strings tools = {"nm", "ranlib", "ar"};

// The versioned part of the installation's directories.
inline const std::string versioned =
    std::string(configured_target) + "/" + configured_version + "/";

inline const std::string exe = VESK_EXE_SUFFIX;

// Why a test whose tool is a wrapper is skipped under an emulator.
inline constexpr char a_wrapper_that_starts_a_wrapper[] =
    "the tool is a wrapper, which an emulated wrapper cannot start here "
    "(no binfmt handler: ENOEXEC)";

// A tool's name on PATH, as this build's target prefixes it.
inline std::string prefixed(const std::string& tool) {
  return std::string(configured_target) + "-" + tool + exe;
}

// Paths as the programs spell them, in UTF-8: with '/' throughout, or natively.
inline std::string slashed(const fs::path& path) {
  std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}
inline std::string native(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
inline fs::path file(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

inline void write_file(const fs::path& path, const std::string& text,
                       fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, mode);
}

inline void install_copy(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms(0755));
}

template <typename T>
std::vector<T> joined(std::vector<T> first, const std::vector<T>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Null-ended pieces, as the stand-in tool records arguments and environments.
inline Strings null_ended(const std::string& text) {
  Strings pieces;
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
    pieces.push_back(text.substr(start, end - start));
  return pieces;
}

struct run_outcome {
  long long exit_code = -1;  // -1 when the program died by a signal
  int signal = 0;
  bool core = false;
  std::string out;
  std::string err;  // "\r\n" read as "\n"
};

struct run_options {
  std::string program;  // file to execute; argv[0] may differ
  Strings argv;
  Strings env;  // a name's first entry counts; on Windows over the test's own
  std::string input = {};
  std::string cwd = {};          // the scratch directory when empty
  std::vector<int> closed = {};  // standard streams the program starts without
  // POSIX only.
  std::vector<int> ignored = {};  // signals the program inherits as ignored
  std::vector<int> blocked = {};  // and as blocked
  bool without_proc = false;      // /proc hidden from the program
  int terminal = -1;              // a session of its own with this controlling terminal
};

// How a tool that exits, or dies, ends the wrapper: its status and the line
// after the tool's path, on standard error.
struct ExitCase {
  std::string env;
  long long code;
  std::string line = {};
  std::vector<int> ignored = {};
};

// A PATH setting (empty: none, so PATH is unset on POSIX and the test's own on
// Windows) and the directory the tool is found in, spelled as the wrapper
// spells it (empty: not found, "Cannot find binary").
struct PathCase {
  std::string setting;
  std::string found;
  bool from_holder = false;  // run from a directory that holds the tool
};

// The tree at `tree` started by `program` (empty: the tree's own), as `argv0`
// (empty: the program), with `env` first.
struct TreeCase {
  std::string label;
  fs::path tree;
  std::string program = {};
  std::string argv0 = {};
  Strings env = {};
  std::string cwd = {};
};

// A directory of its own per test: the installation tree lives at base/tree,
// so every ".." the wrapper climbs stays inside the test's own files.
class WrapperTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  run_outcome run(run_options options);

  // Each platform's rows beyond the shared ones, over this test's own files:
  // `dir` holds the prefixed tools, as does `holder`; `moved` is the tree.
  static std::vector<Strings> platform_argument_cases();
  std::vector<ExitCase> platform_exit_cases() const;
  std::vector<PathCase> platform_path_cases(const fs::path& dir, const fs::path& holder) const;
  std::vector<TreeCase> platform_tree_cases(const fs::path& moved) const;
  // Should a refusal fail, bounds the wrappers that start one another (until
  // the test ends) and gives the arguments that fill that bound.
  Strings bound_wrapper_starts();
  // Makes `path` a tool that starts `program`, waits for it and exits with its
  // status; returns what the environment must hold for it.
  Strings install_starter(const fs::path& path, const std::string& program);

  // The relocatable layout the programs expect.
  void build_tree(bool with_plugin = true, bool with_tools = true) {
    for (const std::string& tool : tools) {
      install_copy(file(std::string(VESK_PROGRAMS_DIR) + "/vesk-" + tool + exe),
                   root_ / "bin" / ("vesk-" + tool + exe));
      if (with_tools) install_copy(STAND_IN_TOOL_PATH, file(tool_dir(root_) + tool + exe));
    }
    fs::create_directories(file(tool_dir(root_)));
    fs::create_directories(file(libexec_path(root_)));
    if (with_plugin) write_file(file(plugin_path(root_)), "plugin");
  }

  // Where the wrapper finds things, spelled the way its relocation spells them.
  static std::string exec_dir(const fs::path& root) {
    return slashed(root) + "/bin/" + VESK_EXEC_FROM_BIN + versioned;
  }
  static std::string libexec_path(const fs::path& root) {
    return slashed(root) + "/bin/" + VESK_LIBEXEC_FROM_BIN + versioned;
  }
  static std::string tool_dir(const fs::path& root) {
    return exec_dir(root) + "../../../../" + configured_target + "/bin/";
  }
  static std::string plugin_path(const fs::path& root) {
    return libexec_path(root) + plugin_file_name;
  }
  static std::string program_in(const fs::path& root, const std::string& tool = "nm") {
    return slashed(root / "bin" / ("vesk-" + tool + exe));
  }
  std::string program(const std::string& tool = "nm") const { return program_in(root_, tool); }

  Strings base_env() const {
    return {"PATH=" + native(base_ / "empty-path"), "STAND_IN_RECORD=" + native(record_)};
  }

  // Runs bin/vesk-<tool> by its full path, `env` ahead of the base environment.
  run_outcome run_installed(const std::string& tool, const Strings& args, const Strings& env = {}) {
    return run({program(tool), joined({program(tool)}, args), joined(env, base_env())});
  }

  // The tool's recorded argument vectors, one after another.
  Strings recorded() const { return null_ended(read_file(record_)); }
  bool tool_ran() const { return fs::exists(record_); }

  static Strings expected_args(const fs::path& root, const std::string& tool, const Strings& args) {
    return joined({tool_dir(root) + tool + exe, "--plugin", plugin_path(root)}, args);
  }

  temp_dir dir_;
  fs::path base_, root_, scratch_, record_;
  int remover_end_ = -1;  // POSIX: what removes the directory should the test be killed
};
