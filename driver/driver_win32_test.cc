// End-to-end tests on Windows: the launcher of the shared cases, which starts
// programs as a Windows build system does (CreateProcessW, an explicit
// environment and handles), their Windows rows, and what only Windows has:
// the response file, the job, inherited handles and console events.
#include <gtest/gtest.h>
#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/end_to_end_test.h"
#include "support/win32_text.h"

namespace {

// WTF-8, as the programs hold text, so a lone surrogate survives.
std::wstring wide(const std::string& text) {
  wchar_t* converted = utf8_to_wide(text.c_str());
  std::wstring out = converted;
  free(converted);
  return out;
}

// The response file as the tools read it: in the ANSI code page.
std::string from_ansi(const std::string& text) {
  int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return native(fs::path(out));
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

// A new console's host outlives the last of its processes for a while, with
// the handles it inherited (the test's files among them), so the test's
// folder could not be removed: its children are waited for.
void wait_for_children(HANDLE process) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    HANDLE child = entry.th32ParentProcessID == GetProcessId(process)
                       ? OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID)
                       : nullptr;
    if (child != nullptr) WaitForSingleObject(child, 60000), CloseHandle(child);
  }
  CloseHandle(snapshot);
}

HANDLE inheritable_file(const fs::path& path, bool write) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

// The environment block: the test's own, with `env` over what it names (a
// name's first entry there counts, as getenv takes it on POSIX).
std::wstring environment_block(const Strings& env) {
  std::vector<std::wstring> entries;
  for (const std::string& entry : env) entries.push_back(wide(entry));
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* p = own; *p != L'\0'; p += wcslen(p) + 1) entries.push_back(p);
  FreeEnvironmentStringsW(own);
  std::wstring block;
  for (size_t i = 0; i < entries.size(); ++i) {
    std::wstring name = entries[i].substr(0, entries[i].find(L'=', 1) + 1);
    bool named_before = false;
    for (size_t j = 0; j < i && !named_before; ++j)
      named_before = _wcsnicmp(entries[j].c_str(), name.c_str(), name.size()) == 0;
    if (!named_before) block += entries[i] + L'\0';
  }
  return block + L'\0';
}

// Starts the program, standard output on `out`, standard input on `in` (which
// it closes; null: options.input), with every inheritable handle of the
// test's; the process handle, or null.
HANDLE start(const run_options& options, HANDLE out, const fs::path& scratch, HANDLE in = nullptr,
             DWORD flags = 0) {
  fs::path in_path = scratch / "stdin", err_path = scratch / "stderr";
  std::ofstream(in_path, std::ios::binary) << options.input;
  if (in == nullptr) in = inheritable_file(in_path, false);
  HANDLE err = inheritable_file(err_path, true);
  std::wstring command;
  for (const std::string& arg : options.argv)
    command += (command.empty() ? L"" : L" ") + quoted(wide(arg));
  std::wstring env = environment_block(options.env);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  auto given = [&](int fd, HANDLE handle) {
    return std::find(options.closed.begin(), options.closed.end(), fd) == options.closed.end()
               ? handle
               : nullptr;
  };
  startup.hStdInput = given(0, in);
  startup.hStdOutput = given(1, out);
  startup.hStdError = given(2, err);
  PROCESS_INFORMATION process = {};
  std::wstring application = wide(options.program);
  std::wstring cwd = options.cwd.empty() ? scratch.wstring() : wide(options.cwd);
  // Wine at times loses a new process under load, as the back end knows.
  BOOL started = FALSE;
  for (int attempt = 0;
       attempt < 3 && !started && (attempt == 0 || GetLastError() == ERROR_INTERNAL_ERROR);
       ++attempt)
    started = CreateProcessW(application.empty() ? nullptr : application.c_str(), command.data(),
                             nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | flags, env.data(),
                             cwd.c_str(), &startup, &process);
  EXPECT_TRUE(started) << GetLastError();
  CloseHandle(in);
  CloseHandle(err);
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

}  // namespace

void WrapperTest::SetUp() {
  ASSERT_NE(dir_.name, "");
  // A space in every path the wrapper sees tests its command-line quoting.
  base_ = file(dir_.path("wrapper test"));
  fs::create_directories(base_ / "scratch");
  base_ = fs::canonical(base_);
  root_ = base_ / "tree";
  scratch_ = base_ / "scratch";
  record_ = scratch_ / "record";
}

void WrapperTest::TearDown() {
  std::error_code error;
  fs::remove_all(base_, error);
  EXPECT_FALSE(error) << native(base_) << ": " << error.message();
}

run_outcome WrapperTest::run(run_options options) {
  fs::path out_path = scratch_ / "stdout";
  HANDLE out = inheritable_file(out_path, true);
  HANDLE process = start(options, out, scratch_);
  CloseHandle(out);
  run_outcome outcome;
  if (process == nullptr) return outcome;
  EXPECT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
  DWORD code = 0xDEADBEEF;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  outcome.exit_code = code;
  outcome.out = read_file(out_path);
  // The programs write text, which the C runtime ends with "\r\n" here.
  outcome.err = read_file(scratch_ / "stderr");
  std::erase(outcome.err, '\r');
  return outcome;
}

std::vector<Strings> WrapperTest::platform_argument_cases() {
  return {};
}

// Every code passes on, all 32 bits; an exception is named, its code kept.
std::vector<ExitCase> WrapperTest::platform_exit_cases() const {
  return {
      {"STAND_IN_EXIT=256", 256},
      {"STAND_IN_EXIT=0x12345678", 0x12345678},
      {"STAND_IN_EXIT=0xFFFFFFFF", 0xFFFFFFFF},
      {"STAND_IN_EXCEPTION=access", 0xC0000005,
       " terminated with exception 0xC0000005 [access violation]\n"},
      {"STAND_IN_EXCEPTION=stack", 0xC00000FD,
       " terminated with exception 0xC00000FD [stack overflow]\n"},
      {"STAND_IN_EXCEPTION=illegal", 0xC000001D,
       " terminated with exception 0xC000001D [illegal instruction]\n"},
      {"STAND_IN_EXCEPTION=divide", 0xC0000094,
       " terminated with exception 0xC0000094 [integer division by zero]\n"},
      {"STAND_IN_EXCEPTION=overrun", 0xC0000409,
       " terminated with exception 0xC0000409 [stack buffer overrun]\n"},
  };
}

// Drive letters; quotes around an entry are the system's, not the folder's;
// the variable's name in any case; an empty entry is no folder at all, though
// the current one holds the tool.
std::vector<PathCase> WrapperTest::platform_path_cases(const fs::path& dir, const fs::path&) const {
  return {
      {"PATH=C:\\windows;\"" + native(dir) + "\"", native(dir) + "/"},
      {"Path=" + native(base_ / u8"Jos\u00e9"), native(base_ / u8"Jos\u00e9") + "/"},
      {"PATH=;Z:\\no\\such;;", "", true},
  };
}

std::vector<TreeCase> WrapperTest::platform_tree_cases(const fs::path&) const {
  return {};
}

// Nothing bounds them here: a refusal that fails shows as the test's timeout.
Strings WrapperTest::bound_wrapper_starts() {
  return {};
}

Strings WrapperTest::install_starter(const fs::path& path, const std::string& program) {
  install_copy(STAND_IN_TOOL_PATH, path);
  return {"STAND_IN_START=" + program};
}

namespace {

// A caller's command line that fits, pushed past the system's limit by what
// the wrapper adds: the caller's arguments travel in a response file, gone
// once the tool has ended. One that still fits passes as it is, whatever the
// temporary folders.
TEST_F(WrapperTest, CommandLineBeyondTheLimitGoesThroughAResponseFile) {
  build_tree();
  // The file goes in the first temporary folder whose name, or else short name,
  // the ANSI code page spells: a plain file is no folder, and a name through a
  // folder that does not exist has no short name. Where it cannot be made
  // (Wine's Z:\proc), the wrapper fails on its own. A name in the long form
  // ("\\?\") takes a backslash before the file's.
  const fs::path temp = base_ / "temp", other = base_ / "other", unspelled = base_ / L"\u0141ukasz",
                 nameless = base_ / L"\u0141ost" / ".." / "temp";
  for (const fs::path& dir : {temp, other, unspelled}) fs::create_directories(dir);
  std::ofstream(base_ / "plain file") << "x";
  const Strings unwritable = {"TMPDIR=", "TMP=Z:\\proc", "TEMP=Z:\\proc"};
  const std::pair<Strings, fs::path> temp_cases[] = {
      {{"TMPDIR=" + slashed(base_ / "plain file"), "TMP=" + slashed(temp)}, temp},
      {{"TMPDIR=", "TMP=" + native(unspelled), "TEMP=" + native(temp)}, unspelled},
      {{"TMPDIR=", "TMP=" + native(nameless), "TEMP=" + native(other)},
       GetACP() == CP_UTF8 ? temp : other},
      {{"TMPDIR=", "TMP=\\\\?\\" + native(temp)}, temp},
      {unwritable, {}},
  };
  // The tool's line exactly at the limit still passes as it is.
  size_t exact = 32767 + quoted(wide(program())).size() -
                 quoted(wide(tool_dir(root_) + "nm.exe")).size() - 10 -
                 quoted(wide(plugin_path(root_))).size();
  for (size_t own_length : {size_t{30000}, exact, size_t{32700}}) {
    SCOPED_TRACE(own_length);
    Strings args = {"", "caf\xc3\xa9.o", "c\rr"};
    std::wstring command = quoted(wide(program())) + L" \"\" caf\u00e9.o c\rr";
    for (size_t i = 0; command.size() + 1 < own_length; ++i) {
      std::string arg = std::to_string(i) + std::string(500, i % 2 ? ' ' : 'x') + "\"'\\\t" +
                        (i == 3 ? "" : "\xc3\xa9");
      size_t room = own_length - command.size() - 1;
      if (quoted(wide(arg)).size() + 1 > room) arg = std::string(room - 1, 'y');
      command += L" " + quoted(wide(arg));
      args.push_back(arg);
    }
    fs::remove(record_);
    if (own_length != 32700) {
      EXPECT_EQ(run_installed("nm", args, unwritable).exit_code, 0);
      EXPECT_EQ(recorded(), expected_args(root_, "nm", args));
      continue;
    }
    for (const auto& [env, folder] : temp_cases) {
      SCOPED_TRACE(env[1]);
      fs::remove(record_);
      fs::remove(record_.string() + ".rsp");
      run_outcome outcome = run_installed("nm", args, env);
      if (folder.empty()) {
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.err,
                  "Error running " + tool_dir(root_) + "nm.exe: write response file\n");
        EXPECT_FALSE(tool_ran());
        continue;
      }
      EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
      Strings seen = recorded();
      ASSERT_EQ(seen.size(), 4u);
      EXPECT_EQ(Strings(seen.begin(), seen.begin() + 3), expected_args(root_, "nm", {}));
      EXPECT_EQ(parse_response(from_ansi(read_file(record_.string() + ".rsp"))), args);
      EXPECT_TRUE(fs::equivalent(file(seen[3].substr(seen[3].find(':') - 1)).parent_path(), folder))
          << seen[3];
    }
    for (const fs::path& dir : {temp, other, unspelled}) EXPECT_TRUE(fs::is_empty(dir)) << dir;
    // A character the code page cannot hold would reach the tool as another.
    if (GetACP() == CP_UTF8) continue;
    args[1] = "\xe6\x97\xa5.o";
    run_outcome outcome = run_installed("nm", args, temp_cases[0].first);
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, "Error running " + tool_dir(root_) + "nm.exe: write response file\n");
    EXPECT_TRUE(fs::is_empty(temp));
  }
}

// In a tree under a folder the ANSI code page cannot spell, the tool's narrow
// command line gets the short names of its own file and the plugin.
TEST_F(WrapperTest, PathsReachTheToolInTheCodePage) {
  if (GetACP() == CP_UTF8) GTEST_SKIP() << "the code page spells every name";
  build_tree();
  const fs::path tree = base_ / L"\u0141ukasz" / "tree";
  fs::create_directories(tree.parent_path());
  fs::rename(root_, tree);
  fs::create_directories(
      file(exec_dir(tree)));  // as installed: the tool's short name climbs through it
  EXPECT_EQ(run({program_in(tree), {program_in(tree)}, base_env()}).exit_code, 0);
  Strings seen = recorded();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ((seen[0] + seen[2]).find("\xc5\x81"), std::string::npos) << seen[0];
  EXPECT_TRUE(fs::equivalent(file(seen[2]), file(plugin_path(tree)))) << seen[2];
}

// The tool ends with the wrapper, however the wrapper ends.
TEST_F(WrapperTest, ToolDoesNotOutliveTheWrapper) {
  build_tree();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  // A chain entry of a wrapper that waits no more is dropped from the tool's.
  const std::string environment = native(scratch_ / "environment");
  Strings env = joined({"STAND_IN_WAIT=1", "STAND_IN_ENVIRONMENT=" + environment,
                        "VESK_WRAPPER_CHAIN=7ffffffc:1:2;x"},
                       base_env());
  HANDLE wrapper = start({program(), {program()}, env}, write_end, scratch_);
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
  char own_entry[48];
  snprintf(own_entry, sizeof own_entry, "VESK_WRAPPER_CHAIN=%lx:", GetProcessId(wrapper));
  EXPECT_NE(read_file(environment).find(own_entry), std::string::npos);
  TerminateProcess(wrapper, 7);
  WaitForSingleObject(wrapper, INFINITE);
  CloseHandle(wrapper);
  DWORD waited = WaitForSingleObject(tool, 30000);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  if (waited != WAIT_OBJECT_0) TerminateProcess(tool, 9);
  CloseHandle(tool);
}

// The tool inherits its three standard handles and nothing else of ours.
TEST_F(WrapperTest, ToolInheritsOnlyItsStandardHandles) {
  build_tree();
  HANDLE marker = inheritable_file(base_ / "scratch" / "handle-marker", true);
  ASSERT_NE(marker, INVALID_HANDLE_VALUE);
  Strings env = joined(
      {"STAND_IN_HANDLE=" + std::to_string(reinterpret_cast<uintptr_t>(marker)), "STAND_IN_ECHO=1"},
      base_env());
  // The stand-in run directly with inheritance sees the handle: the check can fail.
  std::string tool = tool_dir(root_) + "nm.exe";
  EXPECT_EQ(run({tool, {tool}, env}).out, "leaked");
  run_outcome outcome = run({program(), {program()}, env, "piped input\n"});
  EXPECT_EQ(outcome.out, "piped input\n");
  EXPECT_EQ(outcome.exit_code, 0);
  CloseHandle(marker);
}

// Ctrl-C at the console reaches every process of it, the tool (which sends it
// here) too: the wrapper outlasts it and ends with the tool's code.
TEST_F(WrapperTest, CtrlCAtTheConsoleLeavesTheWrapperWaitingForTheTool) {
  build_tree();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write;
  ASSERT_TRUE(CreatePipe(&in_read, &in_write, &inherit, 0));
  ASSERT_TRUE(CreatePipe(&out_read, &out_write, &inherit, 0));
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  Strings env = joined({"STAND_IN_CTRL_C=1", "STAND_IN_ECHO=1", "STAND_IN_EXIT=42"}, base_env());
  HANDLE wrapper = start({program(), {program()}, env}, out_write, scratch_, in_read,
                         CREATE_NEW_CONSOLE | CREATE_NO_WINDOW);
  CloseHandle(out_write);
  char line[8] = {};
  DWORD got = 0;
  ReadFile(out_read, line, sizeof line, &got, nullptr);
  EXPECT_EQ(std::string(line, got), "got\n");
  // The tool ends only now, long after the event reached the wrapper.
  CloseHandle(in_write);
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(wrapper, 60000), WAIT_OBJECT_0);
  GetExitCodeProcess(wrapper, &code);
  EXPECT_EQ(code, 42u);
  wait_for_children(wrapper);
  CloseHandle(wrapper);
  CloseHandle(out_read);
}

}  // namespace
