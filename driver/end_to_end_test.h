// What the end-to-end tests of both builds share: the programs, the stand-in
// tool's record, and the cases whose outcome is the same on every platform.
// Each platform's file keeps its own tree and its own way of starting programs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/config.h"

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

// Every program the build makes; where they behave alike, tests run them all.
const Strings tools = {"nm", "ranlib", "ar"};

// The versioned part of the installation's directories.
const std::string versioned = std::string(configured_target) + "/" + configured_version + "/";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Strings joined(Strings first, const Strings& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The stand-in tool writes each argument it got, each ended by a null byte.
Strings recorded_args(const fs::path& record) {
  Strings args;
  std::string text = read_file(record);
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(text.substr(start, end - start));
  return args;
}

// Argument vectors every build passes to the tool unchanged: quoting, wildcards,
// UTF-8 and lone surrogates in their 8-bit form (U+D800, U+DFFF).
const std::vector<Strings> shared_argument_cases = {
    {},
    {"-g", "file.o"},
    {"", "a b", "tab\there", "say \"hi\"", "\"", "back\\\\\"slash", "end\\", "end\\\\",
     "c:\\dir\\"},
    {"*", "?.o", "@not-a-file", "%PATH%", "^&|<>", "\xc3\xbc\xc3\xb1\xc3\xaf",
     "\xe6\x97\xa5\xe6\x9c\xac"},
    {"lone\xed\xa0\x80.o", "\xed\xbf\xbf", "pair\xf0\x9f\x98\x80"},
};

// Each tool with each case: the wrapper ends well and quietly, and the tool got
// what it should. `run(tool, args)` starts the installed wrapper and returns
// its outcome and the arguments the tool should have recorded.
template <typename Run>
void expect_arguments_reach_the_tool(const std::vector<Strings>& cases, const fs::path& record,
                                     Run run) {
  for (const std::string& tool : tools) {
    for (const Strings& args : cases) {
      SCOPED_TRACE(tool + " with " + std::to_string(args.size()) + " arguments");
      fs::remove(record);
      auto [outcome, expected] = run(tool, args);
      EXPECT_EQ(outcome.exit_code, decltype(outcome.exit_code){0});
      EXPECT_EQ(outcome.err, "");
      EXPECT_EQ(recorded_args(record), expected);
    }
  }
}

}  // namespace
