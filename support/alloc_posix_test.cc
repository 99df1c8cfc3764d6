#include "support/alloc.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "support/test_emulation.h"
#include "support/test_support.h"

namespace {

// Measured from environ, in static data just below the heap: a few
// gigabytes at most, never a raw address.
const std::string kTotal = "after a total of [0-9]{1,10} bytes\n$";
// The message opens with an empty line; the sanitizer allocator may warn first.
const std::string kStart = "(^|\n)\n";
// The largest request, as the message prints it on this host.
const std::string kMax = std::to_string(SIZE_MAX) + " bytes ";
void* volatile held_block;  // reachable from a global, so the leak checker stays quiet

TEST(CheckedAlloc, ImpossibleRequestPrintsTheMessageAndExitsOne) {
  struct Case {
    const char* label;
    std::function<void()> request;
    std::string expected;
  };
  const Case cases[] = {
      {"alloc", [] { checked_alloc(SIZE_MAX); },
       kStart + "out of memory allocating " + kMax + kTotal},
      {"realloc of null", [] { checked_realloc(nullptr, SIZE_MAX); },
       kStart + "out of memory allocating " + kMax + kTotal},
      {"realloc of a block",
       [] {
         held_block = checked_alloc(8);
         checked_realloc(held_block, SIZE_MAX - 4096);
       },
       kStart + "out of memory allocating " + std::to_string(SIZE_MAX - 4096) + " bytes " + kTotal},
      {"calloc", [] { checked_calloc(SIZE_MAX / 2, 2); },
       kStart + "out of memory allocating " + std::to_string(SIZE_MAX - 1) + " bytes " + kTotal},
      {"named program",
       [] {
         set_alloc_program_name("tool");
         checked_alloc(SIZE_MAX);
       },
       kStart + "tool: out of memory allocating " + kMax + kTotal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EXIT(c.request(), testing::ExitedWithCode(1), c.expected);
  }
}

// The first call fixes the break the total is measured from; a later one
// only renames.
TEST(CheckedAlloc, LaterProgramNameReplacesTheFirst) {
  EXPECT_EXIT(
      {
        set_alloc_program_name("first");
        sbrk(4096);
        set_alloc_program_name("second");
        sbrk(8192);
        checked_alloc(SIZE_MAX);
      },
      testing::ExitedWithCode(1),
      kStart + "second: out of memory allocating " + kMax + "after a total of 12288 bytes\n$");
}

void starve_data_segment() {
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = 1 << 20;
  setrlimit(RLIMIT_DATA, &limit);
}

// Requests of 0 are served as 1 byte, and a failure reports 1. Starving the
// data segment makes even that fail; the sanitizers' allocator ignores the limit.
TEST(CheckedAlloc, FailedZeroByteRequestReportsOneByte) {
  if (sanitized) GTEST_SKIP() << "the sanitizer allocator does not honour RLIMIT_DATA";
  SKIP_UNDER_EMULATION("qemu-user ignores RLIMIT_DATA, so nothing starves the heap");
  const std::function<void()> requests[] = {
      [] { checked_alloc(0); },
      [] { checked_calloc(0, 8); },
      [] { checked_calloc(8, 0); },
      [] { checked_realloc(nullptr, 0); },
  };
  for (const auto& request : requests) {
    EXPECT_EXIT(
        {
          starve_data_segment();
          for (;;) request();
        },
        testing::ExitedWithCode(1), kStart + "out of memory allocating 1 bytes " + kTotal);
  }
}

}  // namespace
