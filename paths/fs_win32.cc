#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "paths/fs.h"
#include "support/alloc.h"
#include "support/win32_text.h"

namespace {

// A path the system would refuse as too long goes to it in its long form.
wide_text wide_path(const char* path) {
  wchar_t* wide = utf8_to_wide(path);
  return wide_text(wcslen(wide) < MAX_PATH ? wide : system_path(wide_text(wide)));
}

bool exists_as_file(const char* path) {
  DWORD attributes = GetFileAttributesW(wide_path(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Opened for its name and identity alone: no access to the contents, no
// sharing refused, a directory as well as a file.
HANDLE open_for_query(const wchar_t* path) {
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Volume serial number and file index name a file whatever link or junction
// led to it.
bool identity_of(const wchar_t* path, unsigned long long* device, unsigned long long* index) {
  HANDLE file = open_for_query(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return false;
  *device = info.dwVolumeSerialNumber;
  *index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// The module's own file, whatever argv[0] says, from checked_alloc. Null when
// the system cannot tell.
wchar_t* module_file_name() {
  for (DWORD size = MAX_PATH;; size *= 2) {
    auto* name = static_cast<wchar_t*>(checked_alloc(size * sizeof(wchar_t)));
    DWORD length = GetModuleFileNameW(nullptr, name, size);
    if (length > 0 && length < size) return name;
    free(name);
    if (length == 0) return nullptr;
  }
}

char lower_ascii(char c) {
  if (c == '\\') return '/';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Every file can be started as far as the file system says. Whether it is a
// program is for the system's loader to tell.
int access_mode(int mode) {
  return mode & (R_OK | W_OK);
}

}  // namespace

bool is_executable_file(const char* path) {
  return exists_as_file(path);
}

bool is_usable_file(const char* path, int mode) {
  return exists_as_file(path) && is_accessible(path, mode);
}

bool is_accessible(const char* path, int mode) {
  return _waccess(wide_path(path), access_mode(mode)) == 0;
}

const char* find_separator_or_end(const char* text) {
  while (*text != '\0' && !is_path_separator(*text)) ++text;
  return text;
}

// The file system ignores letter case, and either slash separates.
bool same_path_component(const char* left, const char* right) {
  for (; *left != '\0' && *right != '\0'; ++left, ++right)
    if (lower_ascii(*left) != lower_ascii(*right)) return false;
  return *left == *right;
}

// The system has resolved links and junctions. The result is spelled with '/'
// and without the "\\?\" the system adds, as the relocation reads paths.
bool spell_final_path(wchar_t* final_path, char* resolved) {
  wchar_t* start = final_path;
  if (wcsncmp(start, L"\\\\?\\UNC\\", 8) == 0) {
    start += 6;
    start[0] = L'\\';
  } else if (wcsncmp(start, L"\\\\?\\", 4) == 0) {
    start += 4;
  }
  char* narrow = wide_to_utf8(start);
  size_t size = strlen(narrow) + 1;
  bool fits = size <= resolved_path_size;
  if (fits) memcpy(resolved, narrow, size);
  free(narrow);
  if (!fits) return false;
  for (char* p = resolved; *p != '\0'; ++p)
    if (*p == '\\') *p = '/';
  return true;
}

bool resolve_path(const char* path, char* resolved) {
  HANDLE file = open_for_query(wide_path(path));
  if (file == INVALID_HANDLE_VALUE) return false;
  wchar_t final_path[resolved_path_size];
  DWORD length =
      GetFinalPathNameByHandleW(file, final_path, resolved_path_size, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (length == 0 || length >= resolved_path_size) return false;
  return spell_final_path(final_path, resolved);
}

char* canonical_path_copy(const char* path) {
  char resolved[resolved_path_size];
  if (resolve_path(path, resolved)) return strdup(resolved);
  char* copy = strdup(path);
  if (copy != nullptr)
    for (char* p = copy; *p != '\0'; ++p)
      if (*p == '\\') *p = '/';
  return copy;
}

// Past MAX_PATH in the long form, as every other query here: a deep tool
// must still be known for this program, or it would start itself again.
bool file_identity(const char* path, unsigned long long* device, unsigned long long* index) {
  return identity_of(wide_path(path), device, index);
}

bool running_program_identity(unsigned long long* device, unsigned long long* index) {
  wide_text name(module_file_name());
  return name.text != nullptr && identity_of(name, device, index);
}

// The module's own file, resolved.
char* running_program_path() {
  wide_text name(module_file_name());
  char* path =
      name.text != nullptr && wcslen(name) < resolved_path_size ? wide_to_utf8(name) : nullptr;
  char* resolved = path != nullptr ? canonical_path_copy(path) : nullptr;
  free(path);
  return resolved;
}
