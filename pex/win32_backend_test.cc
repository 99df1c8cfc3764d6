// What only the Windows back end has: the command line and its quoting, the
// PATH search, 32-bit exit codes, the job that ends a child with its parent,
// and the handles a child inherits.
#include "pex/win32_backend.h"

#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "pex/test_support.h"
#include "support/win32_text.h"

namespace {

// Loses the first lost_starts starts, as Wine at times does, then starts as
// the system does; notes whether the environment was a terminated empty block.
int lost_starts = 0;
bool empty_block_terminated = false;
BOOL WINAPI flaky_start(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                        LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                        LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  auto* block = static_cast<const wchar_t*>(environment);
  empty_block_terminated = block != nullptr && block[0] == L'\0' && block[1] == L'\0';
  if (lost_starts-- > 0) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  return CreateProcessW(application, line, process, thread, inherit, flags, environment, folder,
                        startup, info);
}

struct outcome {
  std::string message;  // empty on success
  int code = -7;
  int status = -7;
  std::string output;
};

class Win32BackendTest : public testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.path(name); }

  // Runs one final stage writing to a file, and waits for it.
  outcome run(const std::string& program, std::vector<std::string> words, int flags = 0,
              char* const* environment = nullptr) {
    argv_words argv(std::move(words));
    std::string out = path("out.txt"), err = path("err.txt");
    pex_pipeline* p = pex_create_win32(0, "test", nullptr);
    outcome result;
    const char* message = pex_add_stage_env(p, PEX_FINAL_STAGE | flags, program.c_str(), argv,
                                            environment, out.c_str(), err.c_str(), &result.code);
    if (message != nullptr) result.message = message;
    if (message == nullptr) {
      EXPECT_EQ(pex_get_status(p, 1, &result.status), 1);
    }
    pex_destroy(p);
    result.output = read_file(out);
    return result;
  }

  // A copy of the helper under `name` in the test directory.
  std::string copy_helper(const std::string& name) {
    std::string copy = path(name.c_str());
    wchar_t* from = utf8_to_wide(PEX_TEST_HELPER);
    wchar_t* to = utf8_to_wide(copy.c_str());
    size_t slash = copy.rfind('/');
    wchar_t* folder = utf8_to_wide(copy.substr(0, slash).c_str());
    CreateDirectoryW(folder, nullptr);
    EXPECT_TRUE(CopyFileW(from, to, FALSE)) << copy;
    free(from);
    free(to);
    free(folder);
    return copy;
  }

  // An inheritable handle on the file "handle-marker", which a child names
  // only when it inherited the handle.
  HANDLE inheritable_marker() {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    wchar_t* name = utf8_to_wide(path("handle-marker").c_str());
    HANDLE file = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              &inheritable, CREATE_ALWAYS, 0, nullptr);
    free(name);
    return file;
  }

  temp_dir dir_;
};

// Each argument reaches the child's C runtime byte for byte, and its
// neighbour after it unharmed.
TEST_F(Win32BackendTest, ArgumentsSurviveTheCommandLine) {
  const char* const cases[] = {
      "",
      "two words",
      "tab\there",
      "quote\"inside",
      "\"",
      "\"\"",
      "back\\slash",
      "trailing\\",
      "two trailing\\\\",
      "\\\"",
      "spaced \\\" and\\\\\"",
      "a\\\\b c",
      "*.o",
      "?",
      "@file",
      "%PATH%",
      "\xc3\xbc"
      "n\xc3\xaf"
      "c\xc3\xb6"
      "de \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
      "lone \xed\xa0\x80 and \xed\xbf\xbf",  // unpaired surrogates, legal in names
  };
  for (const char* argument : cases) {
    SCOPED_TRACE(argument);
    outcome got = run(PEX_TEST_HELPER, {PEX_TEST_HELPER, "argv", argument, "next"});
    EXPECT_EQ(got.message, "");
    EXPECT_EQ(got.output, std::string(argument) + "\nnext\n");
  }
  // The program's own name, quoted by its simpler rule.
  std::string program = copy_helper(
      "folder with sp\xc3\xa4"
      "ces/helper.exe");
  outcome got = run(program, {program, "argv", "after"});
  EXPECT_EQ(got.message, "");
  EXPECT_EQ(got.output, "after\n");
}

// The limit counts UTF-16 units with the terminator: a line of exactly
// 32,767 runs, one unit more is refused before anything starts.
TEST_F(Win32BackendTest, CommandLineLimit) {
  std::string helper = PEX_TEST_HELPER;
  std::vector<std::string> words = {helper, "argv", ""};
  std::vector<char*> argv = {words[0].data(), words[1].data(), nullptr, nullptr};
  size_t base = win32_command_line_length(argv.data());
  // Two-unit characters count twice: the filler ends in one of them.
  std::string filler(32767 - base - 1 - 2, 'x');
  filler += "\xf0\x9f\x98\x80";
  words[2] = filler;
  argv[2] = words[2].data();
  ASSERT_EQ(win32_command_line_length(argv.data()), 32767u);
  wchar_t* line = win32_command_line(argv.data());
  EXPECT_EQ(wcslen(line) + 1, 32767u);
  free(line);
  outcome got = run(helper, words);
  EXPECT_EQ(got.message, "");
  EXPECT_EQ(got.output, filler + "\n");
  words[2] += "y";
  got = run(helper, words);
  EXPECT_EQ(got.message, "spawn");
  EXPECT_EQ(got.code, E2BIG);
}

// PATH is ';'-separated with drive letters; ".exe" is added to a name without
// an extension; a name with a directory is never looked up.
TEST_F(Win32BackendTest, PathSearch) {
  copy_helper("bin/found.exe");
  copy_helper("dot.dir/plain.exe");
  const std::string dotted = path("dot.dir/plain"),
                    drive_relative = path("").substr(0, 2) + "found";
  std::string bin = path("bin");  // starts with a drive letter
  ASSERT_EQ(bin[1], ':');
  CreateDirectoryW(wide_text(path("found.exe").c_str()), nullptr);
  const std::string locked = copy_helper("locked.exe"),
                    long_name = copy_helper(std::string(256 - path("").size(), 'l') + ".exe");
  HANDLE held = CreateFileW(wide_text(locked.c_str()), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);  // shares it with no other opener
  struct Case {
    std::string path;
    const char* program;
    const char* message;
    int code;
  };
  const Case cases[] = {
      {"C:\\pex-missing;" + bin, "found", "", 0},
      {"C:\\pex-missing;;\"" + bin + "\"", "found.exe", "", 0},
      {bin + "\\", "FOUND", "", 0},
      {"C:\\pex-missing", "found", "spawn", ENOENT},
      {bin, "bin/found", "spawn", ENOENT},  // relative to the current folder
      {bin, "found.com", "spawn", ENOENT},
      {bin, dotted.c_str(), "", 0},                        // the folder's dot is no extension
      {"C:\\pex-missing", drive_relative.c_str(), "", 0},  // the drive's current folder
      {path("") + ";" + bin, "found", "", 0},              // a folder found.exe is passed over
      {bin, locked.c_str(), "spawn", EACCES},              // held open, shared with no one
      {bin, long_name.c_str(), "", 0},                     // a full path of exactly 260 characters
  };
  // That folder is this process's, made the one holding the program.
  char saved_cwd[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, saved_cwd);
  SetCurrentDirectoryA(bin.c_str());
  const char* saved = getenv("PATH");
  std::string saved_path = saved != nullptr ? saved : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.program);
    pex_testing::set_env("PATH", c.path.c_str());
    outcome got = run(c.program, {c.program, "exit", "9"}, PEX_PATH_SEARCH);
    pex_testing::set_env("PATH", saved_path.c_str());
    EXPECT_EQ(got.message, c.message);
    EXPECT_EQ(got.message.empty() ? got.status : got.code, c.message[0] == '\0' ? 9 : c.code);
  }
  SetCurrentDirectoryA(saved_cwd);
  CloseHandle(held);
}

// The status is the whole exit code, and an exception's code as it is.
TEST_F(Win32BackendTest, ExitCodesKeepAllTheirBits) {
  struct Case {
    const char* mode;
    const char* value;
    DWORD status;
  };
  const Case cases[] = {
      {"exit", "0x12345678", 0x12345678},
      {"exit", "0xFFFFFFFF", 0xFFFFFFFF},
      {"raise", "0xC0000005", 0xC0000005},
      {"raise", "0xC0000094", 0xC0000094},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    outcome got = run(PEX_TEST_HELPER, {PEX_TEST_HELPER, c.mode, c.value});
    EXPECT_EQ(got.message, "");
    EXPECT_EQ(static_cast<DWORD>(got.status), c.status);
  }
  // A start Wine loses is tried again; an empty environment is still a block.
  lost_starts = 2;
  char* no_variables[] = {nullptr};
  pex_create_process = flaky_start;
  outcome got = run(PEX_TEST_HELPER, {PEX_TEST_HELPER, "exit", "5"}, 0, no_variables);
  pex_create_process = CreateProcessW;
  EXPECT_EQ(got.status, 5);
  EXPECT_TRUE(empty_block_terminated);
}

// Text mode turns "\n" into "\r\n" on the way out and back on the way in;
// binary mode leaves every byte alone.
TEST_F(Win32BackendTest, TextAndBinaryModes) {
  struct Case {
    int binary_in, binary_out;
    const char* written;
    const char* read;
  };
  const Case cases[] = {
      {0, 1, "a\nb", "a\r\nb"},
      {1, 1, "a\nb", "a\nb"},
      {1, 0, "a\r\nb", "a\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read);
    pex_pipeline* p = pex_create_win32(PEX_PREFER_PIPES, "test", nullptr);
    FILE* in = pex_open_input_pipe(p, c.binary_in);
    ASSERT_NE(in, nullptr);
    argv_words argv{PEX_TEST_HELPER, "cat"};
    int code = 0;
    int flags = (c.binary_in != 0 ? PEX_BINARY_IN : 0) | (c.binary_out != 0 ? PEX_BINARY_OUT : 0);
    ASSERT_EQ(pex_add_stage(p, flags, PEX_TEST_HELPER, argv, nullptr, nullptr, &code), nullptr);
    fputs(c.written, in);
    fclose(in);
    FILE* out = pex_output_stream(p, c.binary_out);
    ASSERT_NE(out, nullptr);
    std::string got;
    for (int ch; (ch = fgetc(out)) != EOF;) got += static_cast<char>(ch);
    EXPECT_EQ(got, c.read);
    pex_destroy(p);
  }
}

// A child ended from outside takes the children it started with it: they
// ran in its job, which its end closes.
TEST_F(Win32BackendTest, GrandchildEndsWithTheChild) {
  pex_pipeline* p = pex_create_win32(PEX_PREFER_PIPES, "test", nullptr);
  argv_words argv{PEX_TEST_HELPER, "grandchild"};
  int code = 0;
  ASSERT_EQ(pex_add_stage(p, 0, PEX_TEST_HELPER, argv, nullptr, nullptr, &code), nullptr);
  FILE* output = pex_output_stream(p, 0);
  ASSERT_NE(output, nullptr);
  unsigned long grandchild_id = 0;
  ASSERT_EQ(fscanf(output, "%lu", &grandchild_id), 1);
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, grandchild_id);
  ASSERT_NE(grandchild, nullptr);
  EXPECT_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  pex_destroy(p);  // terminates the child
  DWORD ended = WaitForSingleObject(grandchild, 30000);
  EXPECT_EQ(ended, static_cast<DWORD>(WAIT_OBJECT_0));
  if (ended != WAIT_OBJECT_0) {
    HANDLE survivor = OpenProcess(PROCESS_TERMINATE, FALSE, grandchild_id);
    TerminateProcess(survivor, 1);
    CloseHandle(survivor);
  }
  CloseHandle(grandchild);
}

// An inheritable handle of the parent's is no handle in the child: the child
// gets its three standard handles and nothing else.
TEST_F(Win32BackendTest, ChildInheritsOnlyItsStandardHandles) {
  HANDLE file = inheritable_marker();
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string value = std::to_string(reinterpret_cast<uintptr_t>(file));
  outcome got = run(PEX_TEST_HELPER, {PEX_TEST_HELPER, "handle", value});
  EXPECT_EQ(got.message, "");
  EXPECT_EQ(got.status, 0);
  CloseHandle(file);
}

// A standard slot the caller closed gives the child no handle there, and
// nothing the engine opens meanwhile lands in it: it would pass for the
// caller's own stream. Slots are closed for one case and put back after. The
// helper hands its slots on through an engine of its own, where a slot it
// started without reads -2; no stage inherits the marker's handle.
TEST_F(Win32BackendTest, ClosedOrRedirectedStandardHandles) {
  struct Case {
    std::vector<int> closed;
    bool redirected;  // an input file and an error pipe
    bool output_file;
    const char* kinds;
  };
  const Case cases[] = {
      {{}, true, true, "file file pipe"},
      {{0, 1, 2}, true, true, "file file pipe"},
      {{0, 2}, false, true, "none file none"},
      {{0, 1, 2}, false, false, "none none none"},
  };
  std::string report = path("report.txt"), input = path("in.txt"), out = path("out.txt");
  HANDLE marker = inheritable_marker();
  std::string marker_value = std::to_string(reinterpret_cast<uintptr_t>(marker));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kinds);
    fflush(stdout);
    fflush(stderr);
    int saved[3] = {-1, -1, -1};
    for (int slot : c.closed) saved[slot] = _dup(slot);  // all above 2
    for (int slot : c.closed) _close(slot);
    std::set<int> before = pex_testing::open_fds();
    pex_pipeline* p = pex_create_win32(0, "test", nullptr);
    argv_words argv{PEX_TEST_HELPER, "relay", PEX_TEST_HELPER, "std-handles", report, marker_value};
    std::string fault;
    if (c.redirected) {
      FILE* in = pex_open_input_file(p, 0, input.c_str());
      if (in == nullptr || fileno(in) <= 2) fault += "input stream;";
    }
    int code = 0;
    const char* message =
        pex_add_stage(p, PEX_FINAL_STAGE | (c.redirected ? PEX_STDERR_TO_PIPE : 0), PEX_TEST_HELPER,
                      argv, c.output_file ? out.c_str() : nullptr, nullptr, &code);
    if (message != nullptr) fault += message;
    if (c.redirected && p->stderr_read_fd <= 2) fault += "error pipe;";
    int status = -7;
    pex_get_status(p, 1, &status);
    pex_destroy(p);
    if (pex_testing::open_fds() != before) fault += "descriptors left open;";
    for (int slot : c.closed) {
      _dup2(saved[slot], slot);
      _close(saved[slot]);
    }
    EXPECT_EQ(fault, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(report), c.kinds);
  }
  CloseHandle(marker);
}

}  // namespace
