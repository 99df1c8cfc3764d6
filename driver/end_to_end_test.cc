// The end-to-end cases both builds share: the rows every platform has, with
// each platform's own rows added to the same table.
#include "driver/end_to_end_test.h"

#include "paths/fs.h"
#include "support/test_emulation.h"

namespace {

// Argument vectors every build passes to the tool unchanged: quoting, wildcards,
// UTF-8 and lone surrogates in their 8-bit form (U+D800, U+DFFF).
const std::vector<Strings> shared_argument_cases = {
    {},
    {"-g", "file.o"},
    {"", "a b", "tab\there", "say \"hi\"", "\"", "back\\\\\"slash", "end\\", "end\\\\",
     "c:\\dir\\"},
    {"*", "?.o", "@not-a-file", "%PATH%", "^&|<>", "\xc3\xbc\xc3\xb1\xc3\xaf",
     "\xe6\x97\xa5\xe6\x9c\xac"},
    {"lone\xed\xa0\x80.o", "\xed\xbf\xbf", "pair\xf0\x9f\x98\x80"},
};

const std::string leads_back = "': it leads back to a wrapper of this installation\n";

}  // namespace

TEST_F(WrapperTest, EveryArgumentReachesTheToolUnchangedAndInOrder) {
  build_tree();
  for (const std::string& tool : tools) {
    for (const Strings& args : joined(shared_argument_cases, platform_argument_cases())) {
      SCOPED_TRACE(tool + " with " + std::to_string(args.size()) + " arguments");
      fs::remove(record_);
      run_outcome outcome = run_installed(tool, args);
      EXPECT_EQ(outcome.exit_code, 0);
      EXPECT_EQ(outcome.err, "");
      EXPECT_EQ(recorded(), expected_args(root_, tool, args));
    }
  }
}

// The tool's status becomes ours; an end by a signal or exception is named.
TEST_F(WrapperTest, ExitStatusOfTheToolBecomesOurs) {
  build_tree();
  const std::vector<ExitCase> cases = {{"STAND_IN_EXIT=0", 0},
                                       {"STAND_IN_EXIT=1", 1},
                                       {"STAND_IN_EXIT=3", 3},
                                       {"STAND_IN_EXIT=127", 127},
                                       {"STAND_IN_EXIT=255", 255}};
  const std::string tool = tool_dir(root_) + "nm" + exe;
  for (const ExitCase& c : joined(cases, platform_exit_cases())) {
    SCOPED_TRACE(c.env + (c.ignored.empty() ? "" : ", signals ignored"));
    run_options options{program(), {program(), "x"}, joined({c.env}, base_env())};
    options.ignored = c.ignored;
    run_outcome outcome = run(options);
    EXPECT_EQ(outcome.exit_code, c.code);
    EXPECT_EQ(outcome.err, c.line.empty() ? "" : tool + c.line);
  }
}

// Only the target-prefixed name is sought, in PATH's order; what was sought is
// named when nothing is found.
TEST_F(WrapperTest, ToolUnderItsPrefixedNameIsFoundOnPath) {
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  const fs::path host = base_ / "host-bin", dir = base_ / "path dir", holder = base_ / "cwd",
                 accented = base_ / u8"Jos\u00e9";
  for (const std::string& tool : tools) {
    install_copy(STAND_IN_TOOL_PATH, host / (tool + exe));
    for (const fs::path& holding : {dir, holder, accented})
      install_copy(STAND_IN_TOOL_PATH, holding / prefixed(tool));
  }
  const std::string separator(1, path_list_separator);
  const std::vector<PathCase> cases = {
      {"PATH=" + native(host), ""},
      {"PATH=", ""},
      {"", ""},
      {"PATH=" + native(base_ / "nowhere") + separator + native(host) + separator + native(dir),
       native(dir) + "/"},
      {"PATH=" + native(accented), native(accented) + "/"},
  };
  for (const PathCase& c : joined(cases, platform_path_cases(dir, holder))) {
    for (const std::string& tool : tools) {
      SCOPED_TRACE(tool + " with " + (c.setting.empty() ? "PATH unset" : c.setting));
      fs::remove(record_);
      Strings env = {"STAND_IN_RECORD=" + native(record_)};
      if (!c.setting.empty()) env.insert(env.begin(), c.setting);
      run_outcome outcome = run(
          {program(tool), {program(tool), "x.o"}, env, "", c.from_holder ? native(holder) : ""});
      if (c.found.empty()) {
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.err, program(tool) + ": Cannot find binary '" + prefixed(tool) + "'\n");
        EXPECT_FALSE(tool_ran());
      } else {
        EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
        EXPECT_EQ(recorded(),
                  (Strings{c.found + prefixed(tool), "--plugin", plugin_path(root_), "x.o"}));
      }
    }
  }
}

// The program's own location, wherever the tree lies and whatever argv[0]
// says, or VESK_EXEC_PREFIX naming the program's directory, leads to the tree.
TEST_F(WrapperTest, TreeWorksWhereverItLiesAndHoweverItIsStarted) {
  build_tree();
  const fs::path moved = base_ / "moved here" / "tree", accented = base_ / u8"Jos\u00e9" / "tree";
  // The tool's path with its ".." steps is past MAX_PATH; the file's own is not.
  const fs::path deep = base_ / std::string(220 - slashed(base_).size() - 1, 'd');
  fs::create_directories(moved.parent_path());
  fs::rename(root_, moved);
  fs::copy(moved, base_ / "decoy", fs::copy_options::recursive);
  const fs::path elsewhere = base_ / "elsewhere" / ("vesk-nm" + exe);
  install_copy(file(std::string(VESK_PROGRAMS_DIR) + "/vesk-nm" + exe), elsewhere);
  const std::string decoy_bin = native(base_ / "decoy" / "bin"), prefix = "VESK_EXEC_PREFIX=";
  // A row of another tree than the last moves the tree there.
  const std::vector<TreeCase> cases = {
      {"moved tree", moved},
      // A bare name PATH does not hold, started among another tree's files.
      {"bare name not on PATH", moved, "", "vesk-nm", {}, decoy_bin},
      {"exec prefix", moved, slashed(elsewhere), "anything", {prefix + slashed(moved / "bin/")}},
      // Set but empty, it counts as unset: no bare name to resolve among the decoy's files.
      {"empty exec prefix", moved, "", "", {prefix}, decoy_bin},
      {"accented, native separators", accented, "", "", {prefix + native(accented / "bin" / "")}},
      // The tree's own directories are never split like PATH.
      {"folder holding the list separator",
       base_ / ("a" + std::string(1, path_list_separator) + "b") / "tree"},
      {"deep installation", deep},
  };
  fs::path tree = moved;
  for (const TreeCase& c : joined(platform_tree_cases(moved), cases)) {
    SCOPED_TRACE(c.label);
    if (tree != c.tree) {
      fs::create_directories(c.tree.parent_path());
      fs::rename(tree, c.tree);
      tree = c.tree;
    }
    fs::remove(record_);
    std::string started = c.program.empty() ? program_in(tree) : c.program;
    run_outcome outcome = run({started,
                               {c.argv0.empty() ? started : c.argv0, "m"},
                               joined(c.env, base_env()),
                               "",
                               c.cwd});
    EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(recorded(), expected_args(tree, "nm", {"m"}));
  }
  // So deep, a tool that is this program is still known for it.
  const std::string deep_nm = tool_dir(tree) + "nm" + exe;
  fs::remove(file(deep_nm));
  std::string deep_program = program_in(tree);
  fs::create_hard_link(file(deep_program), file(deep_nm));
  EXPECT_EQ(run({deep_program, {deep_program}, base_env()}).err,
            deep_program + ": Cannot run '" + deep_nm + "': it is this program itself\n");
}

// A prefix without its trailing separator names its parent, which holds no
// tree; it never becomes a path from the current directory, here a decoy's.
TEST_F(WrapperTest, ExecPrefixWithoutTrailingSeparatorFindsNothing) {
  build_tree();
  const fs::path decoy = base_ / "decoy";
  install_copy(STAND_IN_TOOL_PATH, file(tool_dir(decoy) + "nm" + exe));
  write_file(file(plugin_path(decoy)), "plugin");
  fs::create_directories(decoy / "bin");
  const std::pair<std::string, std::string> cases[] = {
      {slashed(root_ / "bin"), ""},
      {native(base_ / "nowhere" / "bin"), native(decoy / "bin")},
  };
  for (const auto& [prefix, cwd] : cases) {
    SCOPED_TRACE(prefix);
    run_outcome outcome =
        run({program(), {program()}, joined({"VESK_EXEC_PREFIX=" + prefix}, base_env()), "", cwd});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, program() + ": Cannot find plugin '" + plugin_file_name + "'\n");
    EXPECT_FALSE(tool_ran());
  }
}

// A packaging mistake that makes the tool a link to the wrapper fails at
// once instead of starting the wrapper again and again.
TEST_F(WrapperTest, ToolThatIsTheWrapperItselfIsRefused) {
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  const fs::path on_path = base_ / "path dir" / prefixed("nm");
  fs::create_directories(on_path.parent_path());
  // Each link, and the path the wrapper found it by.
  const std::pair<std::string, std::string> cases[] = {
      {tool_dir(root_) + "nm" + exe, tool_dir(root_) + "nm" + exe},
      {native(on_path), native(on_path.parent_path()) + "/" + prefixed("nm")},
  };
  for (const auto& [link, found] : cases) {
    SCOPED_TRACE(link);
    fs::create_hard_link(file(program()), file(link));
    run_outcome outcome =
        run({program(), {program()}, {"PATH=" + native(on_path.parent_path()), base_env()[1]}});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, program() + ": Cannot run '" + found + "': it is this program itself\n");
    fs::remove(file(link));
  }
}

// Another wrapper of this tree that the tool is, or starts, would start this
// one again: the wrapper so started refuses at once, naming the file that led
// back, and nothing runs. A hard link knows no other home, so the prefix
// leads both wrappers to this tree.
TEST_F(WrapperTest, ToolThatLeadsBackToAWrapperIsRefused) {
  SKIP_UNDER_EMULATION(a_wrapper_that_starts_a_wrapper);
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  const std::string nm = tool_dir(root_) + "nm" + exe, ranlib = tool_dir(root_) + "ranlib" + exe;
  const Strings args = bound_wrapper_starts();
  for (bool crossed : {false, true}) {
    SCOPED_TRACE(crossed ? "crossed" : "one way");
    fs::remove(file(nm)), fs::remove(file(ranlib)), fs::remove(record_);
    fs::create_hard_link(root_ / "bin" / ("vesk-ranlib" + exe), file(nm));
    if (crossed)
      fs::create_hard_link(file(program()), file(ranlib));
    else
      install_copy(STAND_IN_TOOL_PATH, file(ranlib));
    // What the caller left in the variable does not hide the entries after it.
    run_outcome outcome = run_installed(
        "nm", args, {"VESK_EXEC_PREFIX=" + slashed(root_) + "/bin/", "VESK_WRAPPER_CHAIN=junk"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, nm + ": Cannot run '" + nm + leads_back);
    EXPECT_FALSE(tool_ran());
  }
  // A wrapper the tool starts in turn sees the one above as its grandparent.
  fs::remove(file(nm)), fs::remove(file(ranlib));
  run_outcome outcome = run_installed("nm", args, install_starter(file(nm), program()));
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err, program() + ": Cannot run '" + nm + leads_back);
}

// Standard input reaches the tool and its output comes back, byte for byte.
// The wrapper runs without the standard streams its caller did not give it.
TEST_F(WrapperTest, StandardStreamsPassThroughOrAreClosed) {
  build_tree();
  std::string input;
  for (int i = 0; i < 300000; ++i) input.push_back(static_cast<char>(i * 7));
  EXPECT_EQ(run({program(), {program()}, joined({"STAND_IN_ECHO=1"}, base_env()), input}).out,
            input);
  const std::pair<std::vector<int>, bool> cases[] = {
      {{0, 1}, true}, {{0, 1, 2}, true}, {{0, 1, 2}, false}};
  for (const auto& [closed, with_plugin] : cases) {
    SCOPED_TRACE(std::to_string(closed.size()) + (with_plugin ? "" : " without the plugin"));
    fs::remove(record_);
    if (!with_plugin) fs::remove(file(plugin_path(root_)));
    run_options options{program(), {program(), "q"}, joined({"STAND_IN_EXIT=5"}, base_env())};
    options.closed = closed;
    run_outcome outcome = run(options);
    EXPECT_EQ(outcome.exit_code, with_plugin ? 5 : 1);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(recorded(), with_plugin ? expected_args(root_, "nm", {"q"}) : Strings{});
  }
}
