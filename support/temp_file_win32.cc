#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "support/temp_file.h"
#include "support/win32_text.h"

bool usable_temp_directory(const char* directory) {
  if (directory == nullptr) return false;
  DWORD attributes = GetFileAttributesW(wide_text(directory));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The C runtime has no mkstemps. The six X's before the suffix become random
// letters and digits until an exclusive create succeeds.
int make_unique_file(char* name, int suffix_length) {
  size_t length = strlen(name);
  if (suffix_length < 0 || length < static_cast<size_t>(suffix_length) + 6 ||
      memcmp(name + length - suffix_length - 6, "XXXXXX", 6) != 0) {
    errno = EINVAL;
    return -1;
  }
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  char* x = name + length - suffix_length - 6;
  static unsigned long long state = 0;
  state ^= GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
           reinterpret_cast<uintptr_t>(&state);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    for (int i = 0; i < 6; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      x[i] = letters[(state >> 33) % (sizeof letters - 1)];
    }
    int fd = _wopen(wide_text(name), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}
