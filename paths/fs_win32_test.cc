// The path code on Windows: ';'-separated lists with drive letters, letter
// case and either slash in directory comparisons, links resolved by the system.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "paths/fs.h"
#include "paths/owned_list.h"
#include "paths/relocate.h"
#include "paths/search_path.h"
#include "support/test_support.h"
#include "support/win32_text.h"

namespace fs = std::filesystem;

namespace {

using strings = std::vector<std::string>;

TEST(WindowsPaths, ListsAreCutAtSemicolonsOnly) {
  owned_list owned;
  // Empty and quoted entries as installers leave them.
  load_search_path(";C:\\tools;;D:/x/;\"e:\\y z\\\";\"f:\\open", &owned.list);
  EXPECT_EQ(owned.prefixes(), (strings{"C:\\tools/", "D:/x/", "e:\\y z\\", "\"f:\\open/"}));
}

TEST(WindowsPaths, DirectoriesCompareWithoutLetterCaseAndEitherSlash) {
  EXPECT_TRUE(same_path_component("Bin/", "bin/"));
  EXPECT_TRUE(same_path_component("bin\\", "BIN/"));
  EXPECT_TRUE(same_path_component("Zz/", "zZ/"));
  EXPECT_FALSE(same_path_component("bin/", "bin2/"));
  EXPECT_FALSE(same_path_component("bin", "bin/"));
  // In the configured directory itself, whatever the spelling: nothing to relocate.
  EXPECT_EQ(take_string(relocate_prefix_literal("C:/Tools/BIN/vesk-nm.exe", "c:/tools/bin/",
                                                "c:/tools/lib/vesk/")),
            std::nullopt);
  EXPECT_EQ(take_string(relocate_prefix_literal("D:/Opt Dir/bin/vesk-nm.exe", "/usr/bin/",
                                                "/usr/lib/vesk/")),
            "D:/Opt Dir/bin/../lib/vesk/");
  // Either slash splits; a prefix without its trailing separator names its parent.
  EXPECT_EQ(take_string(relocate_prefix_literal("D:\\Opt\\bin\\vesk-nm.exe", "/usr/bin/",
                                                "/usr/lib/vesk/")),
            "D:\\Opt\\bin\\../lib/vesk/");
  EXPECT_EQ(take_string(
                relocate_prefix_literal("D:\\Opt\\binvesk-nm.exe", "/usr/bin/", "/usr/lib/vesk/")),
            "D:\\Opt\\../lib/vesk/");
}

TEST(WindowsPaths, ResolvedPathsAreSpelledWithForwardSlashes) {
  temp_dir scratch;
  ASSERT_NE(scratch.name, "");
  fs::path dir = fs::path(scratch.name) / "fs test";
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "sub" / "tool.exe") << "x";
  std::string resolved =
      take_string(canonical_path_copy((dir.string() + "\\sub\\..\\sub\\tool.exe").c_str()))
          .value_or("(null)");
  EXPECT_EQ(resolved, fs::canonical(dir / "sub" / "tool.exe").generic_string());
  EXPECT_EQ(take_string(canonical_path_copy("no\\such\\file")), "no/such/file");
  // A share as the system names it, which Wine cannot make.
  wchar_t share[] = L"\\\\?\\UNC\\server\\share\\tool.exe";
  char spelled[resolved_path_size];
  ASSERT_TRUE(spell_final_path(share, spelled));
  EXPECT_STREQ(spelled, "//server/share/tool.exe");
  // A deep share goes to the system in its long form, or it would refuse it.
  std::wstring deep = L"\\\\server\\share\\" + std::wstring(260, L'd') + L"\\tool.exe";
  EXPECT_EQ(std::wstring(wide_text(system_path(deep.c_str()))), L"\\\\?\\UNC" + deep.substr(1));
  // An overlong '/' (C0 AF) must not pass for a separator.
  EXPECT_EQ(std::wstring(wide_text("z\xC0\xAFz")), L"z\xFFFD\xFFFDz");

  // A directory of the sought name is passed over; the file in the next entry is found.
  fs::create_directories(dir / "first" / "tool.exe");
  owned_list owned;
  load_search_path(((dir / "first").string() + ";" + (dir / "sub").string()).c_str(), &owned.list);
  EXPECT_EQ(take_string(locate_file(&owned.list, "tool.exe", X_OK)),
            (dir / "sub").string() + "/tool.exe");
}

}  // namespace
