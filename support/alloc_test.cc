// The allocator cases every build runs; those that lean on the program break,
// resource limits or extended regular expressions are in alloc_posix_test.cc.
#include "support/alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

TEST(CheckedAlloc, ZeroSizesGiveDistinctUsableBlocks) {
  char* a = static_cast<char*>(checked_alloc(0));
  char* b = static_cast<char*>(checked_alloc(0));
  EXPECT_NE(a, b);
  a[0] = 'x';

  char* zeroed = static_cast<char*>(checked_calloc(0, 8));
  EXPECT_EQ(zeroed[0], '\0');

  char* grown = static_cast<char*>(checked_realloc(nullptr, 16));
  memset(grown, 'y', 16);
  // A request of 0 keeps the block at one byte instead of releasing it.
  char* shrunk = static_cast<char*>(checked_realloc(grown, 0));
  ASSERT_NE(shrunk, nullptr);
  EXPECT_EQ(shrunk[0], 'y');

  char* copy = checked_strdup("abc");
  EXPECT_STREQ(copy, "abc");
  for (void* block : {static_cast<void*>(a), static_cast<void*>(b), static_cast<void*>(zeroed),
                      static_cast<void*>(shrunk), static_cast<void*>(copy)})
    free(block);
}

TEST(FatalExit, RunsHookAndExitHandlersThenExitsWithStatus) {
  EXPECT_EXIT(
      {
        atexit([] { fputs("exit handler ran\n", stderr); });
        fatal_exit_hook = [] { fputs("hook ran\n", stderr); };
        fatal_exit(7);
      },
      testing::ExitedWithCode(7), "^hook ran\nexit handler ran\n$");
  EXPECT_EXIT(fatal_exit(3), testing::ExitedWithCode(3), "^$");
}

TEST(FatalExit, OutOfMemoryRunsTheHook) {
  EXPECT_EXIT(
      {
        fatal_exit_hook = [] { fputs("cleaned up\n", stderr); };
        checked_alloc(SIZE_MAX);
      },
      testing::ExitedWithCode(1), "bytes\ncleaned up\n$");
}

}  // namespace
