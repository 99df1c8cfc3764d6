#include "support/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/test_emulation.h"

namespace {

constexpr uid_t nobody = 65534;

// A private directory that every candidate test can point variables at.
class TempFileTest : public testing::Test {
 protected:
  // Death-test children run the set-up again but never the tear-down: their
  // directories go inside the parent's, which the parent removes.
  void SetUp() override {
    const char* parent = getenv("TEMP_FILE_TEST_DIR");
    std::string pattern =
        std::string(parent != nullptr ? parent : "/tmp") + "/temp_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    if (parent == nullptr) setenv("TEMP_FILE_TEST_DIR", root_.c_str(), 1);
    usable_ = root_ + "/usable";
    // Root passes every permission check on a directory, so the usual
    // unusable candidate is one that does not exist.
    missing_ = root_ + "/missing";
    ASSERT_EQ(mkdir(usable_.c_str(), 0700), 0);
  }
  void TearDown() override {
    unsetenv("TEMP_FILE_TEST_DIR");
    std::string command = "rm -rf '" + root_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string root_, usable_, missing_;
};

// The directory is chosen once per process, so each case runs in a fresh
// child (death tests re-execute the test binary in this style).
TEST_F(TempFileTest, CandidatesAreTriedInOrder) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  struct Case {
    const char* tmpdir;
    const char* tmp;
    const char* temp;
    std::string expected;
    bool unprivileged = false;  // chosen as nobody rather than root
  };
  const std::string u = usable_, r = missing_, u_slash = usable_ + "/";
  // A plain file that access() alone would let through, and directories that
  // only a missing search or read permission rules out (root would pass them).
  const std::string file = root_ + "/file", unsearchable = root_ + "/unsearchable",
                    unreadable = root_ + "/unreadable", unwritable = root_ + "/unwritable";
  fclose(fopen(file.c_str(), "w"));
  ASSERT_EQ(chmod(file.c_str(), 0700), 0);
  for (const auto& [dir, mode] :
       {std::pair{unsearchable, 0600}, {unreadable, 0300}, {unwritable, 0500}}) {
    ASSERT_EQ(mkdir(dir.c_str(), static_cast<mode_t>(mode)), 0);
    ASSERT_EQ(chown(dir.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
  const Case cases[] = {
      {u.c_str(), nullptr, nullptr, u + "/"},
      {r.c_str(), u.c_str(), nullptr, u + "/"},
      {"", nullptr, u.c_str(), u + "/"},
      {nullptr, r.c_str(), u.c_str(), u + "/"},
      {nullptr, u.c_str(), root_.c_str(), u + "/"},
      {r.c_str(), r.c_str(), r.c_str(), "/tmp/"},
      {nullptr, nullptr, nullptr, "/tmp/"},
      {u_slash.c_str(), nullptr, nullptr, u + "//"},
      {file.c_str(), nullptr, u.c_str(), u + "/"},
      {unsearchable.c_str(), nullptr, nullptr, "/tmp/", true},
      {unreadable.c_str(), nullptr, nullptr, "/tmp/", true},
      {unwritable.c_str(), nullptr, nullptr, "/tmp/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto choose = [&c] {
      const char* names[] = {"TMPDIR", "TMP", "TEMP"};
      const char* values[] = {c.tmpdir, c.tmp, c.temp};
      for (int i = 0; i < 3; ++i) {
        if (values[i] != nullptr)
          setenv(names[i], values[i], 1);
        else
          unsetenv(names[i]);
      }
      if (c.unprivileged && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(2);
      const char* chosen = temp_directory();
      fprintf(stderr, "chose %s\n", chosen);
      int code = std::string(chosen) == c.expected ? 0 : 1;
      if (c.unprivileged) _exit(code);  // the leak checker cannot read /proc as nobody
      exit(code);
    };
    EXPECT_EXIT(choose(), testing::ExitedWithCode(0), "");
  }
}

TEST_F(TempFileTest, DirectoryIsChosenOnce) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  EXPECT_EXIT(
      {
        setenv("TMPDIR", usable_.c_str(), 1);
        const char* first = temp_directory();
        setenv("TMPDIR", "/", 1);
        exit(temp_directory() == first && std::string(first) == usable_ + "/" ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Inside a private root only the fixed candidates created for the case exist:
// /tmp, then /var/tmp, then /usr/tmp, and "." untested when none is there.
TEST_F(TempFileTest, FixedCandidatesInOrderThenCurrentDirectory) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  struct Case {
    std::vector<std::string> present;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "./"},
      {{"usr/tmp"}, "/usr/tmp/"},
      {{"usr/tmp", "var/tmp"}, "/var/tmp/"},
      {{"var/tmp", "tmp"}, "/tmp/"},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string root = usable_ + "/root" + std::to_string(number++);
    for (const std::string& directory : c.present)
      std::filesystem::create_directories(root + "/" + directory);
    std::filesystem::create_directories(root);
    auto reserve = [&] {
      unsetenv("TMPDIR");
      unsetenv("TMP");
      setenv("TEMP", "/nonexistent", 1);
      if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(2);
      char* name = reserve_temp_file(".o");
      bool ok = temp_directory() == c.expected &&
                strncmp(name, (c.expected + "cc").c_str(), c.expected.size() + 2) == 0 &&
                access(name, F_OK) == 0;
      free(name);
      _exit(ok ? 0 : 1);  // the leak checker cannot run without /proc
    };
    EXPECT_EXIT(reserve(), testing::ExitedWithCode(0), "");
  }
}

TEST_F(TempFileTest, ReservedNamesHaveTheLayoutAndExist) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  struct Case {
    const char* suffix;
    const char* expected_end;
  };
  const Case cases[] = {{nullptr, ""}, {"", ""}, {".o", ".o"}, {"XXXXXX.s", "XXXXXX.s"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected_end);
    auto reserve = [&] {
      setenv("TMPDIR", usable_.c_str(), 1);
      char* name = reserve_temp_file(c.suffix);
      std::string text = name;
      std::string head = usable_ + "/cc";
      size_t end_length = strlen(c.expected_end);
      struct stat info;
      bool ok = text.size() == head.size() + 6 + end_length &&
                text.compare(0, head.size(), head) == 0 &&
                text.compare(head.size(), 6, "XXXXXX") != 0 &&
                text.compare(text.size() - end_length, end_length, c.expected_end) == 0 &&
                stat(name, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
      char* second = reserve_temp_file(c.suffix);
      ok = ok && strcmp(name, second) != 0;
      free(name);
      free(second);
      exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(reserve(), testing::ExitedWithCode(0), "");
  }
}

TEST_F(TempFileTest, UncreatableFileAborts) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  // access() grants root everything here, yet no file can be created.
  EXPECT_EXIT(
      {
        setenv("TMPDIR", "/proc", 1);
        reserve_temp_file(".o");
      },
      testing::KilledBySignal(SIGABRT), "^Cannot create temporary file in /proc/: .+\n");
}

}  // namespace
