#include "pex/win32_backend.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "pex/platform.h"
#include "support/alloc.h"
#include "support/path_list.h"
#include "support/saved_errno.h"
#include "support/win32_text.h"

namespace {

constexpr size_t command_line_limit = 32767;
constexpr int start_attempts = 3;

// A caller may start with some of 0, 1 and 2 closed; a descriptor of ours that
// landed there would pass for the caller's own stream, so it moves above them.
// _dup takes the lowest free number, so the free standard slots are held until
// a copy lands above them. Keeps -1 and errno as they are.
int above_standard_slots(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int held[3];
  int held_count = 0;
  int moved = fd;
  while (moved >= 0 && moved <= 2) {
    held[held_count++] = moved;
    moved = _dup(moved);
  }
  saved_errno keep;
  for (int i = 0; i < held_count; ++i) _close(held[i]);
  // _dup makes its copy inheritable.
  if (moved >= 0)
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(moved)), HANDLE_FLAG_INHERIT, 0);
  return moved;
}

int text_mode(int binary) {
  return binary != 0 ? _O_BINARY : _O_TEXT;
}

int open_file(const char* name, int flags) {
  int fd = _wopen(wide_text(name), flags | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  return above_standard_slots(fd);
}

int open_for_reading(pex_pipeline*, const char* name, int binary) {
  return open_file(name, _O_RDONLY | text_mode(binary));
}

int open_for_writing(pex_pipeline*, const char* name, int binary) {
  return open_file(name, _O_WRONLY | _O_CREAT | _O_TRUNC | text_mode(binary));
}

int close_descriptor(pex_pipeline*, int fd) {
  return _close(fd);
}

int create_pipe(pex_pipeline*, int* fds, int binary) {
  if (_pipe(fds, 65536, _O_NOINHERIT | text_mode(binary)) < 0) return -1;
  for (int i = 0; i < 2; ++i) {
    fds[i] = above_standard_slots(fds[i]);
    if (fds[i] < 0) {
      saved_errno keep;
      _close(fds[1 - i]);
      return -1;
    }
  }
  return 0;
}

FILE* stream_for_reading(pex_pipeline*, int fd, int binary) {
  return _fdopen(fd, binary != 0 ? "rb" : "r");
}

// The caller's end of an input pipe must not leak into the stage that reads
// it, or that stage would never see the end of its input.
FILE* stream_for_writing(pex_pipeline*, int fd, int binary) {
  if (!SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0)) {
    errno = EBADF;
    return nullptr;
  }
  return _fdopen(fd, binary != 0 ? "wb" : "w");
}

void release_backend(pex_pipeline*) {}

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_BAD_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_INVALID_EXE_SIGNATURE:
      return ENOEXEC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_WAIT_NO_CHILDREN:
      return ECHILD;
    default:
      return EINVAL;
  }
}

// One argument as the C runtime's parser reads it back: unquoted when it has
// no blank and no quote; otherwise in quotes, where backslashes count only
// before a quote (doubled, and one more to escape the quote itself) and before
// the closing quote. argv[0] is parsed by a simpler rule (up to the next
// quote, no escapes), so it is only put in quotes. Returns the units written,
// or that would be written when out is null.
size_t quote_argument(const wchar_t* argument, bool program_name, wchar_t* out) {
  size_t length = 0;
  auto put = [&](wchar_t c) {
    if (out != nullptr) out[length] = c;
    ++length;
  };
  bool plain = argument[0] != L'\0' && wcspbrk(argument, L" \t\n\v\"") == nullptr;
  if (plain || program_name) {
    if (!plain) put(L'"');
    for (const wchar_t* c = argument; *c != L'\0'; ++c) put(*c);
    if (!plain) put(L'"');
    return length;
  }
  put(L'"');
  for (const wchar_t* c = argument;; ++c) {
    size_t backslashes = 0;
    while (*c == L'\\') {
      ++backslashes;
      ++c;
    }
    if (*c == L'\0' || *c == L'"') {
      for (size_t i = 0; i < 2 * backslashes; ++i) put(L'\\');
      if (*c == L'\0') break;
      put(L'\\');
      put(L'"');
    } else {
      for (size_t i = 0; i < backslashes; ++i) put(L'\\');
      put(*c);
    }
  }
  put(L'"');
  return length;
}

// Writes the command line into out (when not null); returns its length
// without the terminator.
size_t build_command_line(char* const* argv, wchar_t* out) {
  size_t length = 0;
  for (char* const* argument = argv; *argument != nullptr; ++argument) {
    if (argument != argv) {
      if (out != nullptr) out[length] = L' ';
      ++length;
    }
    length += quote_argument(wide_text(*argument), argument == argv,
                             out != nullptr ? out + length : nullptr);
  }
  if (out != nullptr) out[length] = L'\0';
  return length;
}

bool has_directory(const wchar_t* name) {
  return wcspbrk(name, L"/\\") != nullptr || (name[0] != L'\0' && name[1] == L':');
}

bool has_extension(const wchar_t* name) {
  const wchar_t* leaf = name;
  for (const wchar_t* c = name; *c != L'\0'; ++c)
    if (*c == L'/' || *c == L'\\' || *c == L':') leaf = c + 1;
  return wcschr(leaf, L'.') != nullptr;
}

bool is_file(const wchar_t* name) {
  DWORD attributes = GetFileAttributesW(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// directory (may be empty), a separator when it needs one, the name, and
// ".exe" when the name has no extension of its own.
wchar_t* candidate_name(const wchar_t* directory, size_t directory_length, const wchar_t* name) {
  bool separator = directory_length > 0 && directory[directory_length - 1] != L'/' &&
                   directory[directory_length - 1] != L'\\';
  const wchar_t* extension = has_extension(name) ? L"" : L".exe";
  size_t length = directory_length + (separator ? 1 : 0) + wcslen(name) + wcslen(extension);
  auto* candidate = static_cast<wchar_t*>(checked_alloc((length + 1) * sizeof(wchar_t)));
  wmemcpy(candidate, directory, directory_length);
  candidate[directory_length] = L'\0';
  if (separator) wcscat(candidate, L"\\");
  wcscat(candidate, name);
  wcscat(candidate, extension);
  return candidate;
}

wchar_t* environment_variable(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return nullptr;
  auto* value = static_cast<wchar_t*>(checked_alloc(size * sizeof(wchar_t)));
  if (GetEnvironmentVariableW(name, value, size) >= size) value[0] = L'\0';
  return value;
}

// The first match in PATH, read as it is now (the caller may have changed
// it), walked as every PATH of the programs is.
wchar_t* search_path(const wchar_t* name) {
  wchar_t* wide_list = environment_variable(L"PATH");
  if (wide_list == nullptr) return nullptr;
  char* list = wide_to_utf8(wide_list);
  free(wide_list);
  size_t list_length = strlen(list);
  auto* prefix = static_cast<char*>(checked_alloc(list_length + 3));
  wchar_t* found = nullptr;
  for (const char* piece = list; piece != nullptr && found == nullptr;) {
    size_t length = 0;
    if (!next_list_prefix(&piece, list + list_length, prefix, &length, backslash_end::always))
      continue;
    wide_text directory(prefix);
    found = candidate_name(directory, wcslen(directory), name);
    if (!is_file(found)) {
      free(found);
      found = nullptr;
    }
  }
  free(prefix);
  free(list);
  return found;
}

// The file to start: with path_search and no directory in the name, the first
// match in PATH; else the name itself; in either case as system_path spells
// it, so that ".." steps cannot push a tool the system can start past its
// limit. Null with errno ENOENT when there is no such file.
wchar_t* program_file(const char* program, bool path_search) {
  wide_text name(program);
  wchar_t* found =
      path_search && !has_directory(name) ? search_path(name) : candidate_name(L"", 0, name);
  if (found != nullptr) {
    found = system_path(wide_text(found));
    if (!is_file(found)) {
      free(found);
      found = nullptr;
    }
  }
  // The system may refuse to start a program past MAX_PATH even in the long
  // form; its short name, where the volume keeps them, fits more often.
  if (found != nullptr && wcslen(found) >= MAX_PATH) {
    DWORD size = GetShortPathNameW(found, nullptr, 0);
    auto* short_name = static_cast<wchar_t*>(checked_alloc((size + 1) * sizeof(wchar_t)));
    DWORD length = size > 0 ? GetShortPathNameW(found, short_name, size) : 0;
    if (length > 0 && length < size && length < MAX_PATH + 4) {
      free(found);
      found = short_name;
    } else {
      free(short_name);
    }
  }
  if (found == nullptr) errno = ENOENT;
  return found;
}

// "NAME=value" strings as one UTF-16 block, each ended by a null and the
// whole by one more (two for an empty block).
wchar_t* environment_block(char* const* environment) {
  size_t length = 2;
  for (char* const* entry = environment; *entry != nullptr; ++entry) {
    length += wcslen(wide_text(*entry)) + 1;
  }
  auto* block = static_cast<wchar_t*>(checked_alloc(length * sizeof(wchar_t)));
  size_t at = 0;
  for (char* const* entry = environment; *entry != nullptr; ++entry) {
    wide_text wide(*entry);
    size_t entry_length = wcslen(wide) + 1;
    wmemcpy(block + at, wide, entry_length);
    at += entry_length;
  }
  block[at] = block[at + 1] = L'\0';
  return block;
}

// The one job of this process. Its handle is never inheritable and never
// closed: when this process ends, for whatever reason, the system closes it
// and ends every child still running. Null when the system refuses one.
HANDLE children_job() {
  static HANDLE job = nullptr;
  static bool tried = false;
  if (tried) return job;
  tried = true;
  job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
  return job;
}

// The handle behind a descriptor of the engine, or null when the parent has
// none there (a closed descriptor, or a standard one without a stream).
HANDLE handle_of(int fd) {
  if (fd < 0) return nullptr;
  intptr_t handle = _get_osfhandle(fd);
  if (handle == -1 || handle == -2 || handle == 0) return nullptr;
  return reinterpret_cast<HANDLE>(handle);
}

// A console handle of older systems is no kernel object: the handle list
// refuses it, and the child reaches the console without it.
bool is_console_pseudo_handle(HANDLE handle) {
  return (reinterpret_cast<uintptr_t>(handle) & 3) == 3 && GetFileType(handle) == FILE_TYPE_CHAR;
}

struct spawn_state {
  wchar_t* application = nullptr;
  wchar_t* command_line = nullptr;
  wchar_t* environment = nullptr;
  HANDLE child_handles[3] = {nullptr, nullptr, nullptr};
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
  bool attributes_ready = false;

  ~spawn_state() {
    free(application);
    free(command_line);
    free(environment);
    for (HANDLE handle : child_handles)
      if (handle != nullptr) CloseHandle(handle);
    if (attributes_ready) DeleteProcThreadAttributeList(attributes);
    free(attributes);
  }
};

// Starts the child suspended, puts it in the job, then lets it run, so that
// it cannot start anything of its own outside the job. The process handle,
// or null with errno set.
HANDLE start_process(int flags, const char* program, char* const* argv, char* const* environment,
                     const int child_fds[3]) {
  spawn_state state;
  size_t length = build_command_line(argv, nullptr);
  if (length + 1 > command_line_limit) {
    errno = E2BIG;
    return nullptr;
  }
  state.application = program_file(program, (flags & PEX_PATH_SEARCH) != 0);
  if (state.application == nullptr) return nullptr;
  state.command_line = static_cast<wchar_t*>(checked_alloc((length + 1) * sizeof(wchar_t)));
  build_command_line(argv, state.command_line);
  if (environment != nullptr) state.environment = environment_block(environment);

  HANDLE listed[3];
  DWORD listed_count = 0;
  HANDLE self = GetCurrentProcess();
  for (int slot = 0; slot < 3; ++slot) {
    HANDLE parent = handle_of(child_fds[slot]);
    if (parent == nullptr) continue;
    if (!DuplicateHandle(self, parent, self, &state.child_handles[slot], 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      state.child_handles[slot] = nullptr;
      errno = errno_of(GetLastError());
      return nullptr;
    }
    if (!is_console_pseudo_handle(state.child_handles[slot]))
      listed[listed_count++] = state.child_handles[slot];
  }

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = state.child_handles[0];
  startup.StartupInfo.hStdOutput = state.child_handles[1];
  startup.StartupInfo.hStdError = state.child_handles[2];
  DWORD creation = CREATE_SUSPENDED;
  if (state.environment != nullptr) creation |= CREATE_UNICODE_ENVIRONMENT;
  if (listed_count > 0) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    state.attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(checked_alloc(size));
    if (!InitializeProcThreadAttributeList(state.attributes, 1, 0, &size)) {
      errno = errno_of(GetLastError());
      return nullptr;
    }
    state.attributes_ready = true;
    if (!UpdateProcThreadAttribute(state.attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                   listed_count * sizeof(HANDLE), nullptr, nullptr)) {
      errno = errno_of(GetLastError());
      return nullptr;
    }
    startup.lpAttributeList = state.attributes;
    creation |= EXTENDED_STARTUPINFO_PRESENT;
  }

  // Under load Wine at times loses a new process before it runs anything
  // (its Unix side dies before it reaches the server) and calls that an
  // internal error; since nothing ran, the start is tried again.
  PROCESS_INFORMATION process = {};
  BOOL created = FALSE;
  for (int attempt = 0; attempt < start_attempts && !created; ++attempt) {
    created = pex_create_process(state.application, state.command_line, nullptr, nullptr,
                                 listed_count > 0 ? TRUE : FALSE, creation, state.environment,
                                 nullptr, &startup.StartupInfo, &process);
    if (!created && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (!created) {
    errno = errno_of(GetLastError());
    return nullptr;
  }
  // Where the system allows no job of our own (an older one, inside another
  // job), the child stays in the job it inherited from us.
  HANDLE job = children_job();
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
    errno = errno_of(GetLastError());
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// No descriptor of ours is inheritable and the child gets only the handles it
// is given, so to_close needs nothing.
pex_child_id spawn_child(pex_pipeline*, int flags, const char* program, char* const* argv,
                         char* const* environment, int in_fd, int out_fd, int err_fd, int,
                         const char** message, int* error_code) {
  int effective_err_fd = (flags & PEX_MERGE_STDERR) != 0 ? out_fd : err_fd;
  const int child_fds[3] = {in_fd, out_fd, effective_err_fd};
  HANDLE process = start_process(flags, program, argv, environment, child_fds);
  if (process == nullptr) {
    *error_code = errno;
    *message = "spawn";
    return -1;
  }
  if (in_fd > 2) _close(in_fd);
  if (out_fd > 2) _close(out_fd);
  if (err_fd > 2 && err_fd != out_fd) _close(err_fd);
  return reinterpret_cast<pex_child_id>(process);
}

void split_time(const FILETIME& time, int32_t* secs, int32_t* micros) {
  uint64_t units = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  *secs = static_cast<int32_t>(units / 10000000);
  *micros = static_cast<int32_t>(units % 10000000 / 10);
}

// The status is the exit code, all 32 bits of it.
int wait_for_child(pex_pipeline*, pex_child_id child, int* status, pex_child_times* times,
                   int kill_first, const char** message, int* error_code) {
  auto process = reinterpret_cast<HANDLE>(child);
  if (kill_first != 0) TerminateProcess(process, 1);
  DWORD code = 0;
  bool waited =
      WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  DWORD error = waited ? 0 : GetLastError();
  if (times != nullptr) {
    FILETIME created, ended, kernel, user;
    if (waited && GetProcessTimes(process, &created, &ended, &kernel, &user)) {
      split_time(user, &times->user_secs, &times->user_micros);
      split_time(kernel, &times->system_secs, &times->system_micros);
    } else {
      *times = pex_child_times{};
    }
  }
  CloseHandle(process);
  if (!waited) {
    *error_code = errno_of(error);
    *message = "wait";
    return -1;
  }
  *status = static_cast<int>(code);
  return 0;
}

constexpr pex_backend_ops win32_ops = {
    open_for_reading, open_for_writing,   spawn_child,        close_descriptor, wait_for_child,
    create_pipe,      stream_for_reading, stream_for_writing, release_backend,
};

}  // namespace

constinit decltype(&CreateProcessW) pex_create_process = CreateProcessW;

pex_pipeline* pex_create_win32(int creation_flags, const char* program_label,
                               const char* temp_prefix) {
  return pex_create(creation_flags, program_label, temp_prefix, &win32_ops);
}

wchar_t* win32_command_line(char* const* argv) {
  size_t length = build_command_line(argv, nullptr);
  auto* line = static_cast<wchar_t*>(checked_alloc((length + 1) * sizeof(wchar_t)));
  build_command_line(argv, line);
  return line;
}

size_t win32_command_line_length(char* const* argv) {
  return build_command_line(argv, nullptr) + 1;
}

pex_pipeline* pex_create_native(int creation_flags, const char* program_label,
                                const char* temp_prefix) {
  return pex_create_win32(creation_flags, program_label, temp_prefix);
}

// The status is the child's exit code, whatever ended it.
pex_outcome pex_outcome_of(int status) {
  return {true, static_cast<DWORD>(status), 0, false};
}

FILE* pex_open_stream(const char* name, const char* mode) {
  FILE* stream = _wfopen(wide_text(name), wide_text(mode));
  if (stream == nullptr) return nullptr;
  SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fileno(stream))),
                       HANDLE_FLAG_INHERIT, 0);
  if (fileno(stream) > 2) return stream;
  int fd = above_standard_slots(_dup(fileno(stream)));
  FILE* moved = fd >= 0 ? _fdopen(fd, mode) : nullptr;
  saved_errno keep;
  if (moved == nullptr && fd >= 0) _close(fd);
  fclose(stream);
  return moved;
}

int pex_remove_file(const char* name) {
  return _wremove(wide_text(name));
}
