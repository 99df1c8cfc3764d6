#include "paths/relocate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "paths/fs.h"
#include "paths/test_support.h"

// The test binary links with --wrap for malloc, strdup and free, so that while
// a probe runs one chosen allocation fails and the live blocks are counted.
namespace {
struct {
  bool active = false;
  int calls = 0;
  int failing = -1;
  int live = 0;
} probe;

template <typename Allocate>
auto* probed(Allocate allocate) {
  if (!probe.active) return allocate();
  if (probe.calls++ == probe.failing) return decltype(allocate())(nullptr);
  auto* block = allocate();
  if (block != nullptr) ++probe.live;
  return block;
}
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
char* __real_strdup(const char* text);
void __real_free(void* block);
void* __wrap_malloc(size_t size) {
  return probed([=] { return __real_malloc(size); });
}
char* __wrap_strdup(const char* text) {
  return probed([=] { return __real_strdup(text); });
}
void __wrap_free(void* block) {
  if (probe.active && block != nullptr) --probe.live;
  __real_free(block);
}
}

namespace {

TEST(CanonicalPathCopy, ResolvesWhatExistsAndCopiesTheRest) {
  scratch_dir dir;
  std::string real = dir.make_file("real/prog", 0755);
  dir.make_link("links/prog", real);
  EXPECT_EQ(take_string(canonical_path_copy((dir.path() + "/links/../links//prog").c_str())), real);
  EXPECT_EQ(take_string(canonical_path_copy("/no/such//place/../x")), "/no/such//place/../x");
  EXPECT_EQ(take_string(canonical_path_copy("")), "");
}

using relocate_fn = char* (*)(const char*, const char*, const char*);

struct RelocationCase {
  relocate_fn relocate;
  const char* program;
  const char* bin_dir;
  const char* target_dir;
  std::optional<std::string> expected;
};

// Resolving cases also go through relocate_prefixes, beside a second target.
void expect_relocations(const std::vector<RelocationCase>& cases) {
  for (const RelocationCase& c : cases) {
    EXPECT_EQ(take_string(c.relocate(c.program, c.bin_dir, c.target_dir)), c.expected)
        << (c.relocate == relocate_prefix ? "resolving " : "literal ")
        << (c.program ? c.program : "(null)") << " " << (c.bin_dir ? c.bin_dir : "(null)") << " "
        << (c.target_dir ? c.target_dir : "(null)");
    if (c.relocate != relocate_prefix) continue;
    const char* targets[] = {"/usr/bin/x/", c.target_dir};
    char* results[2];
    relocate_prefixes(c.program, c.bin_dir, targets, 2, results);
    EXPECT_EQ(take_string(results[0]),
              take_string(relocate_prefix(c.program, c.bin_dir, "/usr/bin/x/")));
    EXPECT_EQ(take_string(results[1]), c.expected) << "relocate_prefixes " << c.program;
  }
}

// Names that cannot exist on the machine, so resolving and literal agree.
TEST(RelocatePrefix, PathsWithoutLinks) {
  scratch_dir empty;
  scoped_env path("PATH", empty.path());
  const relocate_fn rl = relocate_prefix_literal;
  const relocate_fn rr = relocate_prefix;
  const char* bin = "/usr/bin/";
  const char* exec = "/usr/lib/vesk/";
  const char* libexec = "/usr/libexec/vesk/";
  expect_relocations({
      {rr, "/opt/tc/bin/vesk-nm", bin, exec, "/opt/tc/bin/../lib/vesk/"},
      {rr, "/opt/tc/bin/vesk-nm", bin, libexec, "/opt/tc/bin/../libexec/vesk/"},
      {rl, "/opt/tc/bin/vesk-nm", bin, exec, "/opt/tc/bin/../lib/vesk/"},
      {rr, "/usr/bin/vesk-nm", bin, exec, std::nullopt},
      {rl, "/usr/bin/vesk-nm", bin, libexec, std::nullopt},
      {rl, "/usr//bin/vesk-nm", bin, exec, "/usr//bin/../lib/vesk/"},
      {rl, "/USR/BIN/vesk-nm", bin, exec, "/USR/BIN/../lib/vesk/"},
      {rr, "no-such-program-vesk", bin, exec, "../lib/vesk/"},
      {rl, "tc\\bin\\vesk-nm", bin, exec, "../lib/vesk/"},
      {rl, "C:vesk-nm", bin, exec, "../lib/vesk/"},
      {rl, "/vesk-nm", bin, exec, "/../lib/vesk/"},
      {rl, "/opt/tc/bin/vesk-nm", bin, "/usr/bin/x/", "/opt/tc/bin/x/"},
      {rl, "/opt/tc/bin/vesk-nm", "/usr/lib/vesk/bin/", exec, "/opt/tc/bin/../"},
      {rl, "/opt/tc/bin/vesk-nm", bin, bin, "/opt/tc/bin/"},
      {rl, "/opt/tc/bin/vesk-nm", bin, "/usr/lib/vesk", "/opt/tc/bin/../lib/vesk"},
      {rl, "/opt/tc/bin/vesk-nm", bin, "/usr", "/opt/tc/bin/../../usr"},
      {rl, "/opt/tc/bin/vesk-nm", "/usr//bin/", "/usr/lib/", "/opt/tc/bin/../../usr/lib/"},
      {rl, "/opt/tc/bin/vesk-nm", bin, "usr/lib/", std::nullopt},
      {rl, "/opt/tc/bin/vesk-nm", "usr/bin/", "usr/lib/", "/opt/tc/bin/../lib/"},
      {rl, "/opt/tc/bin/vesk-nm", bin, "", std::nullopt},
      {rl, "/opt/tc/bin/vesk-nm", "", exec, std::nullopt},
      {rl, "", bin, exec, std::nullopt},
      {rr, "", bin, exec, std::nullopt},
      {rl, nullptr, bin, exec, std::nullopt},
      {rl, "/opt/tc/bin/vesk-nm", nullptr, exec, std::nullopt},
      {rl, "/opt/tc/bin/vesk-nm", bin, nullptr, std::nullopt},
  });
  EXPECT_EQ(take_string(relocate_prefix_core("/opt/tc/bin/vesk-nm", bin, exec, false)),
            "/opt/tc/bin/../lib/vesk/");
}

// Whichever allocation fails (PATH scratch, working copy, a split, the
// result), the relocation gives null and releases everything it made.
TEST(RelocatePrefix, EveryAllocationFailureGivesNullAndReleasesAll) {
  scratch_dir dir;
  const std::string& d = dir.path();
  dir.make_file("bin/prog", 0755);
  scoped_env path("PATH", d + "/none::" + d + "/bin");
  const relocate_fn rl = relocate_prefix_literal;
  const relocate_fn rr = relocate_prefix;
  const char* bin = "/usr/bin/";
  const char* exec = "/usr/lib/vesk/";
  const std::vector<RelocationCase> cases = {
      {rl, "/opt/tc/bin/vesk-nm", bin, exec, "/opt/tc/bin/../lib/vesk/"},
      {rr, "/opt/tc/bin/vesk-nm", bin, exec, "/opt/tc/bin/../lib/vesk/"},
      {rl, "/usr/bin/vesk-nm", bin, exec, std::nullopt},
      {rl, "/opt/tc/bin/vesk-nm", bin, "usr/lib/", std::nullopt},
      {rl, "prog", bin, exec, d + "/bin/../lib/vesk/"},
      {rr, "prog", bin, exec, d + "/bin/../lib/vesk/"},
      {rl, "absent", bin, exec, "../lib/vesk/"},
  };
  auto run = [](const RelocationCase& c, int failing) {
    probe = {true, 0, failing, 0};
    char* result = c.relocate(c.program, c.bin_dir, c.target_dir);
    probe.active = false;
    return result;
  };
  for (const RelocationCase& c : cases) {
    char* whole = run(c, -1);
    int allocations = probe.calls;
    EXPECT_GT(allocations, 0) << c.program;
    EXPECT_EQ(probe.live, whole != nullptr ? 1 : 0) << c.program;
    EXPECT_EQ(take_string(whole), c.expected) << c.program;
    for (int failing = 0; failing < allocations; ++failing) {
      char* result = run(c, failing);
      EXPECT_EQ(probe.live, 0) << c.program << " allocation " << failing;
      EXPECT_EQ(take_string(result), std::nullopt) << c.program << " allocation " << failing;
    }
  }
}

TEST(RelocatePrefix, BareNameUnchangedWithoutPath) {
  scoped_env path("PATH", std::nullopt);
  EXPECT_EQ(take_string(relocate_prefix_literal("sh", "/usr/bin/", "/usr/lib/vesk/")),
            "../lib/vesk/");
}

// Example 2: a bare name found through PATH that is a link into another folder.
TEST(RelocatePrefix, BareNameThroughPathFollowsTheLink) {
  scratch_dir dir;
  const std::string& d = dir.path();
  std::string real = dir.make_file("opt/tc/libexec/wrap/vesk-nm", 0755);
  dir.make_link("opt/tc/bin/vesk-nm", real);
  dir.make_dir("usr/local/bin/vesk-nm");  // a directory: skipped
  dir.make_file("cwd/vesk-nm", 0644);     // not executable: skipped
  scoped_cwd cwd(d + "/cwd");
  scoped_env path("PATH", d + "/usr/local/bin::" + d + "/opt/tc/bin/");

  EXPECT_EQ(take_string(relocate_prefix("vesk-nm", "/usr/bin/", "/usr/libexec/vesk/")),
            d + "/opt/tc/libexec/wrap/../libexec/vesk/");
  EXPECT_EQ(take_string(relocate_prefix_literal("vesk-nm", "/usr/bin/", "/usr/libexec/vesk/")),
            d + "/opt/tc/bin/../libexec/vesk/");
}

TEST(RelocatePrefix, EmptyPathElementsTryTheCurrentDirectory) {
  scratch_dir dir;
  const std::string& d = dir.path();
  dir.make_file("cwd/prog", 0755);
  dir.make_file("other/prog", 0755);
  dir.make_file("back\\/prog", 0755);
  dir.make_dir("none");
  // Executable but not a regular file: the walk passes over it.
  const std::string pipe = d + "/none/prog";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0755), 0);
  ASSERT_EQ(chmod(pipe.c_str(), 0755), 0);  // whatever the umask
  scoped_cwd cwd(d + "/cwd");
  const std::string none = d + "/none";
  const std::string other = d + "/other";
  struct Case {
    std::string path;
    std::string literal;
  };
  const Case cases[] = {
      {"", "./../lib/vesk/"},
      {":" + other, "./../lib/vesk/"},
      {none + "::" + other, "./../lib/vesk/"},
      {none + ":", "./../lib/vesk/"},
      {none + ":" + other, other + "/../lib/vesk/"},
      {none, "../lib/vesk/"},
      // A trailing backslash is part of a directory's name here, not its end.
      {d + "/back\\", d + "/back\\/../lib/vesk/"},
  };
  for (const Case& c : cases) {
    scoped_env path("PATH", c.path);
    EXPECT_EQ(take_string(relocate_prefix_literal("prog", "/usr/bin/", "/usr/lib/vesk/")),
              c.literal)
        << "PATH=" << c.path;
  }
  scoped_env path("PATH", "");
  EXPECT_EQ(take_string(relocate_prefix("prog", "/usr/bin/", "/usr/lib/vesk/")),
            d + "/cwd/../lib/vesk/");
}

TEST(RelocatePrefix, NamesWithBackslashOrDriveAreNotLookedUp) {
  scratch_dir dir;
  dir.make_file("bin/tc\\bin\\vesk-nm", 0755);
  dir.make_file("bin/C:vesk-nm", 0755);
  scoped_env path("PATH", dir.path() + "/bin");
  for (const char* name : {"tc\\bin\\vesk-nm", "C:vesk-nm"}) {
    EXPECT_EQ(take_string(relocate_prefix_literal(name, "/usr/bin/", "/usr/lib/vesk/")),
              "../lib/vesk/")
        << name;
  }
}

TEST(RelocatePrefix, LinkInOneFolderToAProgramInAnother) {
  scratch_dir dir;
  const std::string& d = dir.path();
  std::string real = dir.make_file("real/libexec/prog", 0755);
  std::string link = dir.make_link("inst/bin/prog", "../../real/libexec/prog");
  const std::string bin = d + "/inst/bin/";
  const std::string target = d + "/inst/lib/vesk/";

  // Literally the program sits in bin_dir; its real home is elsewhere.
  EXPECT_EQ(take_string(relocate_prefix_literal(link.c_str(), bin.c_str(), target.c_str())),
            std::nullopt);
  EXPECT_EQ(take_string(relocate_prefix(link.c_str(), bin.c_str(), target.c_str())),
            d + "/real/libexec/../lib/vesk/");
  // Resolved in place, the real program lies in the configured bin_dir.
  const std::string real_bin = d + "/real/libexec/";
  EXPECT_EQ(take_string(relocate_prefix(link.c_str(), real_bin.c_str(), target.c_str())),
            std::nullopt);
}

TEST(RelocatePrefix, ResolvingRemovesADoubledSeparator) {
  scratch_dir dir;
  const std::string& d = dir.path();
  dir.make_file("bin/prog", 0755);
  const std::string program = d + "/bin//prog";
  const std::string bin = d + "/bin/";
  const std::string target = d + "/lib/vesk/";
  EXPECT_EQ(take_string(relocate_prefix(program.c_str(), bin.c_str(), target.c_str())),
            std::nullopt);
  EXPECT_EQ(take_string(relocate_prefix_literal(program.c_str(), bin.c_str(), target.c_str())),
            d + "/bin//../lib/vesk/");
}

}  // namespace
