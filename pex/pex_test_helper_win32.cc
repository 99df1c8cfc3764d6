// The helper's Windows entry and modes: exit codes and exceptions, handles,
// and a grandchild that must not outlive its parent.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "pex/pex_test_helper.h"
#include "pex/platform.h"
#include "support/win32_text.h"

namespace {

// The process ends with the exception's code. Left to the system, an
// unhandled exception may start a debugger that inherits this process's
// handles and outlives it, keeping the test's files open after the wait.
LONG WINAPI end_at_once(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

// Ends by an unhandled exception, without the system's crash report.
int raise_exception(DWORD code) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(end_at_once);
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  return 7;
}

const char* kind_of(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return "file";
    case FILE_TYPE_PIPE:
      return "pipe";
    case FILE_TYPE_CHAR:
      return "char";
    default:
      return "unknown";
  }
}

// Whether the handle value names the test's file "handle-marker" here, as an
// inherited handle would; any other handle of ours may have that value.
bool names_marker(const char* value) {
  wchar_t name[MAX_PATH * 4];
  DWORD length = GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(strtoull(value, nullptr, 0)),
                                           name, MAX_PATH * 4, 0);
  return length > 0 && length < MAX_PATH * 4 && wcsstr(name, L"\\handle-marker") != nullptr;
}

// A handle here on a thread of another process is one its parent handed down
// (Wine passes no such handle on as a standard one, but the child holds it).
bool holds_foreign_thread() {
  for (uintptr_t value = 4; value < 4096; value += 4) {
    DWORD owner = GetProcessIdOfThread(reinterpret_cast<HANDLE>(value));
    if (owner != 0 && owner != GetCurrentProcessId()) return true;
  }
  return false;
}

// What this process got as its standard handles, then " leaked" when the
// marker's handle came too and " thread" when a thread's did, written to a
// file since any of them may be missing.
int describe_standard_handles(const char* report, const char* marker) {
  FILE* out = fopen(report, "w");
  if (out == nullptr) return 5;
  fprintf(out, "%s %s %s%s%s", kind_of(GetStdHandle(STD_INPUT_HANDLE)),
          kind_of(GetStdHandle(STD_OUTPUT_HANDLE)), kind_of(GetStdHandle(STD_ERROR_HANDLE)),
          names_marker(marker) ? " leaked" : "", holds_foreign_thread() ? " thread" : "");
  return fclose(out) == 0 ? 0 : 5;
}

// Runs `argv` as the one stage of an engine of this process's own, with the
// standard slots this process has (the C runtime's -2 where it started with
// none); its status.
int relay(char** argv) {
  pex_pipeline* pipeline = pex_create_native(0, "helper", nullptr);
  int code = 0, status = 6;
  if (pex_add_stage(pipeline, PEX_FINAL_STAGE, argv[0], argv, nullptr, nullptr, &code) != nullptr ||
      pex_get_status(pipeline, 1, &status) != 1)
    status = 6;
  pex_destroy(pipeline);
  return status;
}

// Starts this program in "pause" mode through the engine, prints the
// grandchild's process id, and waits to be ended.
int start_grandchild() {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 5;
  char* program = wide_to_utf8(self);
  char* argv[] = {program, const_cast<char*>("pause"), nullptr};
  pex_pipeline* pipeline = pex_create_native(0, "helper", nullptr);
  int code = 0;
  if (pex_add_stage(pipeline, PEX_FINAL_STAGE, program, argv, "NUL", nullptr, &code) != nullptr)
    return 6;
  HANDLE grandchild = reinterpret_cast<HANDLE>(static_cast<intptr_t>(pipeline->child_ids[0]));
  printf("%lu\n", GetProcessId(grandchild));
  fflush(stdout);
  wait_forever();
}

}  // namespace

int platform_mode(int argc, char** argv) {
  std::string mode = argv[1];
  if (mode == "raise" && argc == 3) return raise_exception(strtoul(argv[2], nullptr, 0));
  if (mode == "handle" && argc == 3) return names_marker(argv[2]);
  if (mode == "std-handles" && argc == 4) return describe_standard_handles(argv[2], argv[3]);
  if (mode == "relay" && argc > 2) return relay(argv + 2);
  if (mode == "grandchild") return start_grandchild();
  return 100;
}

long long user_micros() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  return static_cast<long long>((static_cast<unsigned long long>(user.dwHighDateTime) << 32) |
                                user.dwLowDateTime) /
         10;
}

void wait_forever() {
  for (;;) Sleep(INFINITE);
}

// The command line read as wide characters and handed on as UTF-8; the
// streams are binary so that what is printed is the bytes themselves.
int wmain(int argc, wchar_t** wide_argv) {
  std::vector<char*> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(wide_to_utf8(wide_argv[i]));
  argv.push_back(nullptr);
  for (int fd = 0; fd < 3; ++fd) _setmode(fd, _O_BINARY);
  return helper_main(argc, argv.data());
}
