#include "paths/search_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "paths/owned_list.h"
#include "paths/test_support.h"

namespace {

// Runs `action` with the trace on and returns what it wrote to standard error.
template <typename Action>
std::string traced(Action action) {
  set_lookup_trace(true);
  testing::internal::CaptureStderr();
  action();
  std::string written = testing::internal::GetCapturedStderr();
  set_lookup_trace(false);
  return written;
}

using strings = std::vector<std::string>;

TEST(LoadSearchPath, CutsPiecesAtEveryColon) {
  struct Case {
    const char* input;
    strings expected;
  };
  const Case cases[] = {
      {"", {"./"}},
      {"a::b", {"a/", "./", "b/"}},
      {"a:", {"a/", "./"}},
      {":a", {"./", "a/"}},
      {":", {"./", "./"}},
      {"/x/", {"/x/"}},
      {"d\\", {"d\\"}},
      {"C:/tools/", {"C/", "/tools/"}},
      {"/usr/bin:/bin", {"/usr/bin/", "/bin/"}},
      {"a//", {"a//"}},
  };
  for (const Case& c : cases) {
    owned_list owned;
    load_search_path(c.input, &owned.list);
    EXPECT_EQ(owned.prefixes(), c.expected) << "input '" << c.input << "'";
  }
}

TEST(LoadSearchPath, TracesEveryPrefix) {
  owned_list owned;
  std::string written = traced([&] { load_search_path("a::b\\", &owned.list); });
  EXPECT_EQ(written,
            "Convert string 'a::b\\' into prefixes, separator = ':'\n"
            "  - add prefix: a/\n"
            "  - add prefix: ./\n"
            "  - add prefix: b\\\n");
  written = traced([&] { load_search_path("n\nl\x1b[31m\t\x7f\\x\xc3\xa9\\\x02", &owned.list); });
  EXPECT_EQ(written,
            "Convert string 'n\\nl\\x1b[31m\\x09\\x7f\\\\x\xc3\xa9\\\\\\x02' into prefixes, "
            "separator = ':'\n"
            "  - add prefix: n\\nl\\x1b[31m\\x09\\x7f\\\\x\xc3\xa9\\\\\\x02/\n");
}

TEST(LoadSearchPathFromEnv, UnsetAddsNothingEmptyAddsCurrentDir) {
  {
    scoped_env unset("VESK_PATHS_TEST_LIST", std::nullopt);
    owned_list owned;
    std::string written =
        traced([&] { load_search_path_from_env("VESK_PATHS_TEST_LIST", &owned.list); });
    EXPECT_EQ(owned.list.head, nullptr);
    EXPECT_EQ(written, "");
  }
  {
    scoped_env empty("VESK_PATHS_TEST_LIST", "");
    owned_list owned;
    load_search_path_from_env("VESK_PATHS_TEST_LIST", &owned.list);
    EXPECT_EQ(owned.prefixes(), strings{"./"});
  }
  {
    scoped_env set("VESK_PATHS_TEST_LIST", "/p:q");
    owned_list owned;
    load_search_path_from_env("VESK_PATHS_TEST_LIST", &owned.list);
    EXPECT_EQ(owned.prefixes(), (strings{"/p/", "q/"}));
  }
}

class LocateFile : public testing::Test {
 protected:
  std::optional<std::string> locate(const char* name, int mode) {
    return take_string(locate_file(&owned_.list, name, mode));
  }
  void load(const std::string& string) { load_search_path(string.c_str(), &owned_.list); }

  scratch_dir dir_;
  owned_list owned_;
};

TEST_F(LocateFile, FirstAcceptableEntryWins) {
  dir_.make_dir("one/tool");         // a directory with the sought name
  dir_.make_file("two/tool", 0644);  // no execute bit at all
  std::string wanted = dir_.make_file("three/tool", 0755);
  dir_.make_file("four/tool", 0755);
  const std::string& d = dir_.path();
  // Only directories are refused: a pipe is as acceptable as a regular file.
  ASSERT_EQ(mkfifo((d + "/one/pipe").c_str(), 0644), 0);
  // A link is taken for what it leads to: here a directory.
  dir_.make_dir("zero");
  ASSERT_EQ(symlink((d + "/one/tool").c_str(), (d + "/zero/tool").c_str()), 0);
  load(d + "/zero:" + d + "/one:" + d + "/two/:" + d + "/three:" + d + "/four");

  EXPECT_EQ(locate("tool", X_OK), wanted);
  // Read access passes in the second directory; the sub-directory is still skipped.
  EXPECT_EQ(locate("tool", R_OK), d + "/two/tool");
  EXPECT_EQ(locate("missing", R_OK), std::nullopt);
  EXPECT_EQ(locate("pipe", R_OK), d + "/one/pipe");
}

TEST_F(LocateFile, RelativeNameBuildsOnThePrefixAsStored) {
  std::string wanted = dir_.make_file("sub/tool", 0644);
  append_search_dir(&owned_.list, (dir_.path() + "/su").c_str());
  EXPECT_EQ(locate("b/tool", R_OK), wanted);
}

TEST_F(LocateFile, EmptyNameIsNeverFound) {
  dir_.make_file("file", 0755);
  load(dir_.path() + "::" + dir_.path() + "/file");
  EXPECT_EQ(locate("", F_OK), std::nullopt);
}

TEST_F(LocateFile, AbsoluteNamesIgnoreTheList) {
  // prefix + name names this file, but the name alone names nothing.
  dir_.make_file("bin/vesk-paths-test-absent", 0755);
  load(dir_.path() + "/bin");
  std::string program = dir_.make_file("elsewhere/prog", 0755);
  EXPECT_EQ(locate(program.c_str(), X_OK), program);
  // A directory passes too: absolute names get no type test.
  EXPECT_EQ(locate(dir_.path().c_str(), X_OK), dir_.path());
  // Not found as an absolute name, and the list is not tried afterwards.
  EXPECT_EQ(locate("/vesk-paths-test-absent", X_OK), std::nullopt);
  std::string no_exec = dir_.make_file("plain", 0644);
  EXPECT_EQ(locate(no_exec.c_str(), X_OK), std::nullopt);
}

TEST_F(LocateFile, ColonInSecondPlaceMakesTheNameAbsolute) {
  // Both names exist under the listed directory, but are only tried as given.
  dir_.make_file("bin/C:tool", 0755);
  dir_.make_file("bin/x:y", 0755);
  load(dir_.path() + "/bin");
  EXPECT_EQ(locate("C:tool", X_OK), std::nullopt);
  EXPECT_EQ(locate("x:y", X_OK), std::nullopt);
  {
    scoped_cwd inside(dir_.path() + "/bin");
    EXPECT_EQ(locate("x:y", X_OK), "x:y");
  }
  // A leading backslash is absolute too, though bin/ holds such a name.
  dir_.make_file("bin/\\tool", 0755);
  EXPECT_EQ(locate("\\tool", R_OK), std::nullopt);
}

TEST(LocateFileTrace, WritesExactLines) {
  scratch_dir dir;
  std::string program = dir.make_file("bin/prog", 0755);
  std::string missing = dir.path() + "/nothing";
  owned_list empty;
  owned_list listed;
  load_search_path((dir.path() + "/bin").c_str(), &listed.list);
  dir.make_file("new\nline\\n/p\nq", 0755);
  owned_list odd;
  load_search_path((dir.path() + "/new\nline\\n").c_str(), &odd.list);

  struct Case {
    const search_path* list;
    std::string name;
    std::string expected;
    bool found;
  };
  const Case cases[] = {
      {&empty.list, program, "Looking for '" + program + "'\n  - found: absolute path\n", true},
      {&empty.list, missing,
       "Looking for '" + missing +
           "'\n  - failed to locate using absolute path\n"
           "  - failed: no entries in prefix list\n",
       false},
      {&listed.list, missing,
       "Looking for '" + missing + "'\n  - failed to locate using absolute path\n", false},
      {&empty.list, "prog", "Looking for 'prog'\n  - failed: no entries in prefix list\n", false},
      {&listed.list, "prog", "Looking for 'prog'\n  - found: " + program + "\n", true},
      {&listed.list, "absent", "Looking for 'absent'\n  - failed: not found in any prefix\n",
       false},
      // A newline cannot start a line of its own; a backslash before 'n' is doubled.
      {&odd.list, "p\nq",
       "Looking for 'p\\nq'\n  - found: " + dir.path() + "/new\\nline\\\\n/p\\nq\n", true},
  };
  for (const Case& c : cases) {
    char* result = nullptr;
    std::string written = traced([&] { result = locate_file(c.list, c.name.c_str(), X_OK); });
    EXPECT_EQ(written, c.expected) << c.name;
    EXPECT_EQ(result != nullptr, c.found) << c.name;
    free(result);
  }
}

}  // namespace
