// The list cases every build runs; the separators and lookups of files on
// disk differ by platform (search_path_posix_test.cc, fs_win32_test.cc).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "paths/fs.h"
#include "paths/owned_list.h"
#include "paths/search_path.h"

namespace {

using strings = std::vector<std::string>;

TEST(LoadSearchPath, AppendsAfterExistingEntries) {
  owned_list owned;
  append_search_dir(&owned.list, "first");
  load_search_path((std::string("a") + path_list_separator + "b").c_str(), &owned.list);
  EXPECT_EQ(owned.prefixes(), (strings{"first", "a/", "b/"}));
}

TEST(LoadSearchPath, SilentWithoutTrace) {
  owned_list owned;
  testing::internal::CaptureStderr();
  load_search_path("a:b", &owned.list);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(AppendSearchDir, KeepsLongestAndCopiesThePrefix) {
  owned_list owned;
  EXPECT_EQ(owned.list.longest, 0u);
  std::string prefix = "ab/";
  append_search_dir(&owned.list, prefix.c_str());
  prefix = "changed";
  append_search_dir(&owned.list, "abcdef/");
  EXPECT_EQ(owned.list.longest, 7u);
  append_search_dir(&owned.list, "x/");
  EXPECT_EQ(owned.list.longest, 7u);
  EXPECT_EQ(owned.prefixes(), (strings{"ab/", "abcdef/", "x/"}));
  EXPECT_EQ(owned.list.last, owned.list.head->next->next);
  // A list whose last entry is not recorded, or not the tail, still grows at the tail.
  for (search_dir* last : {static_cast<search_dir*>(nullptr), owned.list.head}) {
    owned.list.last = last;
    append_search_dir(&owned.list, "y/");
    EXPECT_TRUE(owned.list.last != nullptr && owned.list.last->next == nullptr);
  }
  EXPECT_EQ(owned.prefixes(), (strings{"ab/", "abcdef/", "x/", "y/", "y/"}));
}

TEST(LocateFileTrace, SilentWhenSwitchedOff) {
  owned_list empty;
  testing::internal::CaptureStderr();
  free(locate_file(&empty.list, "/no/such/file", R_OK));
  set_lookup_trace(true);
  set_lookup_trace(false);
  free(locate_file(&empty.list, "name", R_OK));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LocateFileOnEmptyList, RelativeNameFails) {
  owned_list empty;
  EXPECT_EQ(locate_file(&empty.list, "sh", F_OK), nullptr);
}

}  // namespace
