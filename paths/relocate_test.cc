// The cases every build runs; the resolution of links and the failing
// allocations are in relocate_posix_test.cc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "paths/fs.h"
#include "paths/relocate.h"

namespace {

using strings = std::vector<std::string>;

TEST(SplitPathComponents, KeepsEachSeparatorRunWithItsComponent) {
  struct Case {
    const char* path;
    strings expected;
  };
  const Case cases[] = {
      {"/opt//tc/bin/vesk-nm", {"/", "opt//", "tc/", "bin/", "vesk-nm"}},
      {"/usr/lib/vesk/", {"/", "usr/", "lib/", "vesk/"}},
      {"a//b/", {"a//", "b/"}},
      {"//", {"//"}},
      {"vesk-nm", {"vesk-nm"}},
      {"/", {"/"}},
      {"//x", {"//", "x"}},
      {"./../a", {"./", "../", "a"}},
      {"tc\\bin\\vesk-nm",
       backslash_separates ? strings{"tc\\", "bin\\", "vesk-nm"} : strings{"tc\\bin\\vesk-nm"}},
      {"C:/x:y/z", {"C:/", "x:y/", "z"}},
  };
  for (const Case& c : cases) {
    int count = -1;
    char** components = split_path_components(c.path, &count);
    ASSERT_NE(components, nullptr) << c.path;
    strings got;
    for (char** piece = components; *piece != nullptr; ++piece) got.push_back(*piece);
    EXPECT_EQ(got, c.expected) << c.path;
    EXPECT_EQ(count, static_cast<int>(c.expected.size())) << c.path;
    free_path_components(components);
  }
}

TEST(SplitPathComponents, NullCountStillGivesTheArray) {
  char** components = split_path_components("/a/b", nullptr);
  ASSERT_NE(components, nullptr);
  EXPECT_STREQ(components[0], "/");
  EXPECT_STREQ(components[2], "b");
  EXPECT_EQ(components[3], nullptr);
  free_path_components(components);
  free_path_components(nullptr);
}

TEST(SplitPathComponents, EmptyPathGivesNull) {
  int count = 42;
  EXPECT_EQ(split_path_components("", &count), nullptr);
  EXPECT_EQ(split_path_components(nullptr, &count), nullptr);
  EXPECT_EQ(count, 42);
}

TEST(Basenames, SkipDirectoriesAndDrivePrefixes) {
  struct Case {
    const char* path;
    size_t offset;       // path_basename
    size_t unix_offset;  // unix_path_basename
  };
  const Case cases[] = {
      {"C:vesk-nm", 2, 0},
      {"C:\\tc\\bin\\vesk-nm", 10, 0},
      {"tc/bin\\vesk-nm", 7, 3},
      {"vesk-nm", 0, 0},
      {"dir/", 4, 4},
      {"", 0, 0},
      {"1:x", 0, 0},  // not a letter: no drive prefix
      {"z:", 2, 0},
      {"/a/b/c", 5, 5},
      {"a\\b", 2, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(path_basename(c.path), c.path + c.offset) << c.path;
    EXPECT_EQ(unix_path_basename(c.path), c.path + c.unix_offset) << c.path;
  }
}

}  // namespace
