#include "support/concat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

TEST(Concat, JoinsPiecesWithNothingInserted) {
  char* empty = concat_strings(nullptr);
  EXPECT_STREQ(empty, "");
  char* joined = concat_strings("a", "", "bc", nullptr);
  EXPECT_STREQ(joined, "abc");
  // A null first piece ends the list even when more pieces follow.
  char* stopped = concat_strings(nullptr, "ignored", nullptr);
  EXPECT_STREQ(stopped, "");
  free(empty);
  free(joined);
  free(stopped);
}

TEST(Concat, TotalLengthCountsBytesWithoutTerminator) {
  EXPECT_EQ(concat_total_length(nullptr), 0u);
  EXPECT_EQ(concat_total_length("", nullptr), 0u);
  EXPECT_EQ(concat_total_length("ab", "", "cde", nullptr), 5u);
}

TEST(Concat, IntoCallerStorage) {
  char buffer[8];
  memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(concat_into(buffer, "ab", "cd", nullptr), buffer);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(buffer[5], '#');  // exactly total + 1 bytes written

  char shared[4];
  concat_shared_buffer = shared;
  EXPECT_EQ(concat_into_shared("x", "yz", nullptr), shared);
  EXPECT_STREQ(shared, "xyz");
  EXPECT_EQ(concat_into_shared(nullptr), shared);
  EXPECT_STREQ(shared, "");
  concat_shared_buffer = nullptr;
}

// Under the sanitizers this proves the previous string is read before it is freed.
TEST(Concat, ReplaceMayUseThePreviousStringAsAPiece) {
  char* text = concat_strings("dir", nullptr);
  text = concat_replace(text, text, "/", text, nullptr);
  EXPECT_STREQ(text, "dir/dir");
  text = concat_replace(text, "[", text, "]", nullptr);
  EXPECT_STREQ(text, "[dir/dir]");
  char* fresh = concat_replace(nullptr, "new", nullptr);
  EXPECT_STREQ(fresh, "new");
  free(text);
  free(fresh);
}

}  // namespace
