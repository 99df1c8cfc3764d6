// The unique-file maker, which each platform writes for itself. The choice of
// directory leans on chroot and set-user calls: temp_file_posix_test.cc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/temp_file.h"

namespace {

TEST(MakeUniqueFile, ReplacesTheXsBeforeTheSuffixWithANewOpenFile) {
  const std::string stem = (std::filesystem::temp_directory_path() / "ccXXXXXX").string();
  for (const char* suffix : {"", ".o", "XXXXXX.s"}) {
    SCOPED_TRACE(suffix);
    const int length = static_cast<int>(strlen(suffix));
    std::string first = stem + suffix, second = first;
    int fd = make_unique_file(first.data(), length);
    int other = make_unique_file(second.data(), length);
    ASSERT_GE(fd, 0);
    ASSERT_GE(other, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.compare(0, stem.size() - 6, stem, 0, stem.size() - 6), 0);
    EXPECT_NE(first.compare(stem.size() - 6, 6, "XXXXXX"), 0);
    EXPECT_EQ(first.compare(stem.size(), std::string::npos, suffix), 0);
    EXPECT_EQ(std::filesystem::file_size(first), 0u);
    EXPECT_EQ(write(fd, "x", 1), 1);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(close(other), 0);
    EXPECT_EQ(std::filesystem::file_size(first), 1u);
    std::filesystem::remove(first);
    std::filesystem::remove(second);
  }
}

TEST(MakeUniqueFile, RefusesATemplateWithoutSixXsBeforeTheSuffix) {
  struct Case {
    const char* name;
    int suffix_length;
  };
  const Case cases[] = {{"ccXXXXX", 0}, {"ccXXXXXX.o", 3}, {"XXXXXX", 7}, {"ccXXXXX.o", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = c.name;
    errno = 0;
    EXPECT_EQ(make_unique_file(name.data(), c.suffix_length), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(name, c.name);
  }
}

}  // namespace
