// End-to-end tests on Windows: the built programs run from throw-away
// installation trees with a stand-in tool, started the way a Windows build
// system starts them (CreateProcessW, an explicit environment and handles).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/end_to_end_test.h"
#include "driver/tool_signals.h"
#include "support/win32_text.h"

namespace {

// WTF-8 both ways, as the programs hold text, so a lone surrogate survives.
std::wstring wide(const std::string& text) {
  wchar_t* converted = utf8_to_wide(text.c_str());
  std::wstring out = converted;
  free(converted);
  return out;
}

std::string utf8(const std::wstring& text) {
  char* converted = wide_to_utf8(text.c_str());
  std::string out = converted;
  free(converted);
  return out;
}

// The response file as the tools read it: in the ANSI code page.
std::string from_ansi(const std::string& text) {
  int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return utf8(out);
}

// Quoted as the C runtime parses it back, independently of the back end's own
// quoting, so the two must agree for a test to pass.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

// Arguments as the target's tools read a response file.
Strings parse_response(const std::string& text) {
  Strings args;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size()) break;
    std::string arg;
    char quote = 0;
    for (; i < text.size(); ++i) {
      char c = text[i];
      if (c == '\\' && i + 1 < text.size()) {
        arg += text[++i];
      } else if (quote != 0) {
        if (c == quote)
          quote = 0;
        else
          arg += c;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (isspace(static_cast<unsigned char>(c))) {
        break;
      } else {
        arg += c;
      }
    }
    args.push_back(arg);
  }
  return args;
}

struct Outcome {
  DWORD exit_code = 0xDEADBEEF;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string program;
  Strings argv;
  Strings env;  // NAME=value, over the test's own environment
  std::string input = {};
  bool no_standard_handles = false;
  HANDLE inherited = nullptr;  // also handed to the program, under its own value
  fs::path cwd = {};           // the test's own when empty
};

class WindowsWrapperTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    base_ = fs::path(temp) / ("wrapper test " + std::to_string(GetCurrentProcessId()) + " " +
                              testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    fs::create_directories(base_ / "scratch");
    base_ = fs::canonical(base_);
    root_ = base_ / "tree";
    record_ = base_ / "scratch" / "record";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // Spelled with '/' throughout, as the wrapper's relocation spells paths.
  static std::string slashed(const fs::path& path) { return utf8(path.generic_wstring()); }
  static std::string tool_dir(const fs::path& root) {
    return slashed(root) + "/bin/" + VESK_EXEC_FROM_BIN + versioned + "../../../../" +
           configured_target + "/bin/";
  }
  static std::string plugin_path(const fs::path& root) {
    return slashed(root) + "/bin/" + VESK_LIBEXEC_FROM_BIN + versioned + plugin_file_name;
  }

  void build_tree(bool with_tools = true) {
    for (const std::string& tool : tools) {
      fs::create_directories(root_ / "bin");
      fs::copy_file(std::string(VESK_PROGRAMS_DIR) + "/vesk-" + tool + ".exe",
                    root_ / "bin" / ("vesk-" + tool + ".exe"));
      if (with_tools) {
        fs::create_directories(tool_dir(root_));
        fs::copy_file(STAND_IN_TOOL_PATH, tool_dir(root_) + tool + ".exe");
      }
    }
    fs::create_directories(fs::path(plugin_path(root_)).parent_path());
    std::ofstream(plugin_path(root_)) << "plugin";
  }

  std::string program(const std::string& tool = "nm") const {
    return slashed(root_ / "bin" / ("vesk-" + tool + ".exe"));
  }

  Strings base_env() const {
    return {"PATH=" + (base_ / "empty-path").string(), "STAND_IN_RECORD=" + record_.string()};
  }

  // The environment block: the test's own, with `env` replacing what it
  // names (a later entry of `env` over an earlier one).
  static std::wstring environment_block(const Strings& env) {
    std::vector<std::wstring> entries;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* p = own; *p != L'\0'; p += wcslen(p) + 1) entries.push_back(p);
    FreeEnvironmentStringsW(own);
    for (const std::string& entry : env) entries.push_back(wide(entry));
    std::wstring block;
    for (size_t i = 0; i < entries.size(); ++i) {
      std::wstring name = entries[i].substr(0, entries[i].find(L'=', 1) + 1);
      bool replaced = false;
      for (size_t j = i + 1; j < entries.size() && !replaced; ++j)
        replaced = _wcsnicmp(entries[j].c_str(), name.c_str(), name.size()) == 0;
      if (!replaced) block += entries[i] + L'\0';
    }
    return block + L'\0';
  }

  static HANDLE inheritable_file(const fs::path& path, bool write) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
  }

  // Starts the program, standard output on `out`; the process handle, or null.
  HANDLE start(const RunOptions& options, HANDLE out) {
    fs::path in_path = base_ / "scratch" / "stdin", err_path = base_ / "scratch" / "stderr";
    std::ofstream(in_path, std::ios::binary) << options.input;
    HANDLE in = inheritable_file(in_path, false), err = inheritable_file(err_path, true);
    std::wstring command;
    for (const std::string& arg : options.argv)
      command += (command.empty() ? L"" : L" ") + quoted(wide(arg));
    std::wstring env = environment_block(options.env);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (!options.no_standard_handles) {
      startup.hStdInput = in;
      startup.hStdOutput = out;
      startup.hStdError = err;
    }
    PROCESS_INFORMATION process = {};
    std::wstring application = wide(options.program);
    BOOL started =
        CreateProcessW(application.empty() ? nullptr : application.c_str(), command.data(), nullptr,
                       nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                       options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &process);
    EXPECT_TRUE(started) << GetLastError();
    CloseHandle(in);
    CloseHandle(err);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
  }

  Outcome run(const RunOptions& options) {
    fs::path out_path = base_ / "scratch" / "stdout";
    HANDLE out = inheritable_file(out_path, true);
    HANDLE process = start(options, out);
    CloseHandle(out);
    Outcome outcome;
    if (process == nullptr) return outcome;
    EXPECT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(process, &outcome.exit_code);
    CloseHandle(process);
    outcome.out = read_file(out_path);
    // The programs write text, which the C runtime ends with "\r\n" here.
    outcome.err = read_file(base_ / "scratch" / "stderr");
    std::erase(outcome.err, '\r');
    return outcome;
  }

  Outcome run_installed(const std::string& tool, const Strings& args, Strings env = {}) {
    return run({program(tool), joined({program(tool)}, args), joined(base_env(), env)});
  }

  Strings recorded() const { return recorded_args(record_); }

  Strings expected_args(const fs::path& root, const std::string& tool, const Strings& args) {
    return joined({tool_dir(root) + tool + ".exe", "--plugin", plugin_path(root)}, args);
  }

  fs::path base_, root_, record_;
};

TEST_F(WindowsWrapperTest, EveryArgumentReachesTheToolUnchanged) {
  build_tree();
  expect_arguments_reach_the_tool(
      shared_argument_cases, record_, [&](const std::string& tool, const Strings& args) {
        return std::pair(run_installed(tool, args), expected_args(root_, tool, args));
      });
}

// A caller's command line that fits, pushed past the system's limit by what
// the wrapper adds: the caller's arguments travel in a response file, gone
// once the tool has ended. One that still fits passes as it is.
TEST_F(WindowsWrapperTest, CommandLineBeyondTheLimitGoesThroughAResponseFile) {
  build_tree();
  // A plain file is no temp folder; the next variable's accented one is.
  fs::path temp = base_ / L"Jos\u00e9 temp";
  fs::create_directories(temp);
  std::ofstream(base_ / "plain file") << "x";
  const Strings temp_env = {"TMPDIR=" + slashed(base_ / "plain file"), "TMP=" + slashed(temp)};
  // The tool's line exactly at the limit still passes as it is.
  size_t exact = 32767 + quoted(wide(program())).size() -
                 quoted(wide(tool_dir(root_) + "nm.exe")).size() - 10 -
                 quoted(wide(plugin_path(root_))).size();
  for (size_t own_length : {size_t{30000}, exact, size_t{32700}}) {
    SCOPED_TRACE(own_length);
    Strings args = {"", "caf\xc3\xa9.o"};
    std::wstring command = quoted(wide(program())) + L" \"\" caf\u00e9.o";
    for (size_t i = 0; command.size() + 1 < own_length; ++i) {
      std::string arg = std::to_string(i) + std::string(500, i % 2 ? ' ' : 'x') + "\"'\\" +
                        (i == 3 ? "" : "\xc3\xa9");
      size_t room = own_length - command.size() - 1;
      if (quoted(wide(arg)).size() + 1 > room) arg = std::string(room - 1, 'y');
      command += L" " + quoted(wide(arg));
      args.push_back(arg);
    }
    fs::remove(record_);
    fs::remove(record_.string() + ".rsp");
    Outcome outcome = run_installed("nm", args, temp_env);
    EXPECT_EQ(outcome.exit_code, 0u) << outcome.err;
    Strings seen = recorded();
    if (own_length != 32700) {
      EXPECT_EQ(seen, expected_args(root_, "nm", args));
      continue;
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(Strings(seen.begin(), seen.begin() + 3), expected_args(root_, "nm", {}));
    EXPECT_EQ(seen[3].substr(0, slashed(temp).size() + 2), "@" + slashed(temp) + "/");
    EXPECT_EQ(parse_response(from_ansi(read_file(record_.string() + ".rsp"))), args);
    EXPECT_FALSE(fs::exists(fs::u8path(seen[3].substr(1))));
    // A character the code page cannot hold would reach the tool as another.
    if (GetACP() == CP_UTF8) continue;
    args[1] = "\xe6\x97\xa5.o";
    outcome = run_installed("nm", args, temp_env);
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.err, "Error running " + tool_dir(root_) + "nm.exe: write response file\n");
  }
}

// PATH is ';'-separated and holds drive letters; what was sought is named.
TEST_F(WindowsWrapperTest, ToolUnderItsPrefixedNameIsFoundOnPath) {
  build_tree(/*with_tools=*/false);
  fs::path on_path = base_ / "path dir";
  fs::create_directories(on_path);
  std::string prefixed = std::string(configured_target) + "-nm.exe";
  Outcome missing = run_installed("nm", {});
  EXPECT_EQ(missing.exit_code, 1u);
  EXPECT_EQ(missing.err, program() + ": Cannot find binary '" + prefixed + "'\n");

  // Quotes around an entry are the system's, not the folder's; an empty entry
  // is no folder at all, though the current one holds the tool.
  const std::string dir = on_path.string(), accented = slashed(base_ / L"Jos\u00e9");
  fs::create_directories(base_ / "cwd");
  fs::create_directories(base_ / L"Jos\u00e9");
  for (const fs::path& holder : {on_path, base_ / "cwd", base_ / L"Jos\u00e9"})
    fs::copy_file(STAND_IN_TOOL_PATH, holder / prefixed);
  struct Case {
    std::string entry;
    std::string found;  // empty: not found
  };
  const Case cases[] = {
      {"PATH=Z:\\no\\such\\dir;" + dir + ";C:\\windows", dir + "/"},
      {"PATH=" + accented, accented + "/"},
      {"PATH=C:\\windows;\"" + dir + "\"", dir + "/"},
      {"Path=" + dir, dir + "/"},
      {"PATH=;Z:\\no\\such;;", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    fs::remove(record_);
    Strings env = base_env();
    env.push_back(c.entry);
    Outcome found = run({program(), {program(), "x.o"}, env, "", false, nullptr, base_ / "cwd"});
    EXPECT_EQ(found.exit_code, c.found.empty() ? 1u : 0u) << found.err;
    if (!c.found.empty()) {
      EXPECT_EQ(recorded(), (Strings{c.found + prefixed, "--plugin", plugin_path(root_), "x.o"}));
    }
  }

  fs::remove(plugin_path(root_));
  Outcome no_plugin = run_installed("nm", {});
  EXPECT_EQ(no_plugin.err,
            program() + ": Cannot find plugin '" + std::string(plugin_file_name) + "'\n");
}

// The program's own location comes from the system, whatever argv[0] says;
// spaces, a moved tree, an accented or deep folder and an argv[0] that names
// nothing change nothing. VESK_EXEC_PREFIX names the program's directory, as
// on any host, spelled with either slash.
TEST_F(WindowsWrapperTest, TreeWorksWhereverItLiesAndHoweverItIsStarted) {
  build_tree();
  const fs::path moved = base_ / "moved here" / "tree", accented = base_ / L"Jos\u00e9" / "tree";
  // The tool's path with its ".." steps is past MAX_PATH; the file's own is not.
  const fs::path deep = base_ / std::string(220 - slashed(base_).size() - 1, 'd');
  struct Case {
    const char* label;
    fs::path tree;
    bool by_name;
    std::string prefix;
  };
  const Case cases[] = {
      {"full path", moved, false, ""},
      {"argv[0] names nothing", moved, true, ""},
      {"exec prefix", moved, false, slashed(moved / "bin") + "/"},
      {"accented exec prefix", accented, false, utf8((accented / "bin").wstring()) + "\\"},
      {"deep installation", deep, false, ""},
  };
  fs::path tree = root_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::create_directories(c.tree.parent_path());
    if (tree != c.tree) fs::rename(tree, c.tree);
    tree = c.tree;
    fs::remove(record_);
    Strings env = base_env();
    if (!c.prefix.empty()) env.push_back("VESK_EXEC_PREFIX=" + c.prefix);
    std::string exe = slashed(tree / "bin/vesk-nm.exe");
    Outcome outcome = run({exe, {c.by_name ? "vesk-nm" : exe, "a"}, env});
    EXPECT_EQ(outcome.exit_code, 0u) << outcome.err;
    EXPECT_EQ(recorded(), expected_args(tree, "nm", {"a"}));
  }
  // So deep, a tool that is this program is still known for it.
  const std::string deep_nm = tool_dir(tree) + "nm.exe";
  fs::remove(deep_nm);
  fs::create_hard_link(tree / "bin/vesk-nm.exe", deep_nm);
  std::string deep_exe = slashed(tree / "bin/vesk-nm.exe");
  EXPECT_EQ(run({deep_exe, {deep_exe}, base_env()}).err,
            deep_exe + ": Cannot run '" + deep_nm + "': it is this program itself\n");

  // A prefix of no folder, without its trailing separator, never becomes a
  // path from the current folder, which here holds a decoy tree.
  const std::string work = slashed(base_ / "decoy" / "work") + "/";
  const fs::path decoy_tool = fs::path(work + VESK_EXEC_FROM_BIN + versioned + "../../../../" +
                                       configured_target + "/bin/nm.exe")
                                  .lexically_normal();
  const fs::path decoy_plugin =
      fs::path(work + VESK_LIBEXEC_FROM_BIN + versioned + plugin_file_name).lexically_normal();
  fs::create_directories(work);
  fs::create_directories(decoy_tool.parent_path());
  fs::create_directories(decoy_plugin.parent_path());
  fs::copy_file(STAND_IN_TOOL_PATH, decoy_tool);
  std::ofstream(decoy_plugin) << "plugin";
  fs::remove(record_);
  Strings env = base_env();
  env.push_back("VESK_EXEC_PREFIX=" + (base_ / "nowhere" / "bin").string());
  std::string exe = slashed(tree / "bin/vesk-nm.exe");
  Outcome outcome = run({exe, {exe}, env, "", false, nullptr, work});
  EXPECT_EQ(outcome.exit_code, 1u);
  EXPECT_FALSE(fs::exists(record_));
}

// Every code passes on, all 32 bits; an exception is named, its code kept.
TEST_F(WindowsWrapperTest, ExitCodeAndExceptionOfTheToolBecomeOurs) {
  build_tree();
  struct Case {
    std::string env;
    DWORD code;
    std::string line;
  };
  const std::string tool = tool_dir(root_) + "nm.exe";
  const Case cases[] = {
      {"STAND_IN_EXIT=3", 3, ""},
      {"STAND_IN_EXIT=256", 256, ""},
      {"STAND_IN_EXIT=0x12345678", 0x12345678, ""},
      {"STAND_IN_EXIT=0xFFFFFFFF", 0xFFFFFFFF, ""},
      {"STAND_IN_EXCEPTION=access", 0xC0000005,
       " terminated with exception 0xC0000005 [access violation]\n"},
      {"STAND_IN_EXCEPTION=stack", 0xC00000FD,
       " terminated with exception 0xC00000FD [stack overflow]\n"},
      {"STAND_IN_EXCEPTION=illegal", 0xC000001D,
       " terminated with exception 0xC000001D [illegal instruction]\n"},
      {"STAND_IN_EXCEPTION=divide", 0xC0000094,
       " terminated with exception 0xC0000094 [integer division by zero]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env);
    Outcome outcome = run_installed("nm", {}, {c.env});
    EXPECT_EQ(outcome.exit_code, c.code);
    EXPECT_EQ(outcome.err, c.line.empty() ? "" : tool + c.line);
  }
}

// The tool ends with the wrapper, however the wrapper ends.
TEST_F(WindowsWrapperTest, ToolDoesNotOutliveTheWrapper) {
  build_tree();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  Strings env = base_env();
  env.push_back("STAND_IN_WAIT=1");
  HANDLE wrapper = start({program(), {program()}, env}, write_end);
  CloseHandle(write_end);
  ASSERT_NE(wrapper, nullptr);
  char line[32] = {};
  DWORD got = 0;
  for (DWORD n = 0; n < sizeof line - 1 && ReadFile(read_end, line + n, 1, &got, nullptr) &&
                    got == 1 && line[n] != '\n';)
    ++n;
  CloseHandle(read_end);
  HANDLE tool = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, strtoul(line, nullptr, 10));
  ASSERT_NE(tool, nullptr) << line;
  TerminateProcess(wrapper, 7);
  WaitForSingleObject(wrapper, INFINITE);
  CloseHandle(wrapper);
  DWORD waited = WaitForSingleObject(tool, 30000);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  if (waited != WAIT_OBJECT_0) TerminateProcess(tool, 9);
  CloseHandle(tool);
}

// The tool inherits its three standard handles and nothing else of ours, and
// runs when the caller gave us none.
TEST_F(WindowsWrapperTest, ToolInheritsOnlyItsStandardHandles) {
  build_tree();
  HANDLE marker = inheritable_file(base_ / "scratch" / "handle-marker", true);
  ASSERT_NE(marker, INVALID_HANDLE_VALUE);
  Strings env = base_env();
  env.push_back("STAND_IN_HANDLE=" + std::to_string(reinterpret_cast<uintptr_t>(marker)));
  env.push_back("STAND_IN_ECHO=1");
  // The stand-in run directly with inheritance sees the handle: the check can fail.
  std::string tool = tool_dir(root_) + "nm.exe";
  EXPECT_EQ(run({tool, {tool}, env, "", false, marker}).out, "leaked");
  Outcome outcome = run({program(), {program()}, env, "piped input\n", false, marker});
  EXPECT_EQ(outcome.out, "piped input\n");
  EXPECT_EQ(outcome.exit_code, 0u);
  CloseHandle(marker);

  Outcome bare = run({program(), {program()}, {base_env()[0], "STAND_IN_EXIT=5"}, "", true});
  EXPECT_EQ(bare.exit_code, 5u);
}

// A tool that is this program, or another wrapper of this tree that would
// start this one again, is refused: through hard links, one way or crossed.
TEST_F(WindowsWrapperTest, ToolThatLeadsBackToTheWrapperIsRefused) {
  build_tree(/*with_tools=*/false);
  fs::create_directories(tool_dir(root_));
  const std::string nm = tool_dir(root_) + "nm.exe", ranlib = tool_dir(root_) + "ranlib.exe";
  fs::create_hard_link(root_ / "bin/vesk-nm.exe", nm);
  Outcome outcome = run_installed("nm", {});
  EXPECT_EQ(outcome.exit_code, 1u);
  EXPECT_EQ(outcome.err, program() + ": Cannot run '" + nm + "': it is this program itself\n");

  const std::string leads_back =
      nm + ": Cannot run '" + nm + "': it leads back to a wrapper of this installation\n";
  for (bool crossed : {false, true}) {
    SCOPED_TRACE(crossed ? "crossed" : "one way");
    fs::remove(nm), fs::remove(ranlib), fs::remove(record_);
    fs::create_hard_link(root_ / "bin/vesk-ranlib.exe", nm);
    if (crossed)
      fs::create_hard_link(root_ / "bin/vesk-nm.exe", ranlib);
    else
      fs::copy_file(STAND_IN_TOOL_PATH, ranlib);
    // A hard link knows no other home, so the prefix leads both to this tree.
    outcome = run_installed("nm", {"x.o"}, {"VESK_EXEC_PREFIX=" + slashed(root_) + "/bin/"});
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.err, leads_back);
    EXPECT_FALSE(fs::exists(record_));
  }

  // A wrapper the tool starts in turn sees the one above as its grandparent.
  fs::remove(nm), fs::remove(ranlib);
  fs::copy_file(STAND_IN_TOOL_PATH, nm);
  outcome = run_installed("nm", {}, {"STAND_IN_START=" + program()});
  EXPECT_EQ(outcome.exit_code, 1u);
  EXPECT_EQ(outcome.err, program() + ": Cannot run '" + nm +
                             "': it leads back to a wrapper of this installation\n");
}

// Ctrl-C and Ctrl-Break reach the tool as well; the wrapper waits for it.
TEST(WindowsConsoleEvents, WrapperOutlastsOnlyWhatReachesTheToolToo) {
  EXPECT_TRUE(wrapper_outlasts_console_event(CTRL_C_EVENT));
  EXPECT_TRUE(wrapper_outlasts_console_event(CTRL_BREAK_EVENT));
  EXPECT_FALSE(wrapper_outlasts_console_event(CTRL_CLOSE_EVENT));
  EXPECT_FALSE(wrapper_outlasts_console_event(CTRL_LOGOFF_EVENT));
}

}  // namespace
