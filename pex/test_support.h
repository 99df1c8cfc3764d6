// Descriptor and file inspection shared by the pipeline tests. What differs
// by platform is in test_support_posix.h and test_support_win32.h.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#ifdef _WIN32
#include "pex/test_support_win32.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "pex/test_support_posix.h"
#endif
#include "support/test_support.h"

namespace pex_testing {

#ifndef _WIN32
// The descriptor flags, or -1 when the descriptor is not open.
inline int fd_flags(int fd) {
  return fcntl(fd, F_GETFD);
}

inline std::pair<dev_t, ino_t> file_identity(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return {0, 0};
  return {info.st_dev, info.st_ino};
}

// The flags and the open file of descriptors 0, 1 and 2, as they are now.
struct standard_slots {
  standard_slots() {
    for (int fd = 0; fd < 3; ++fd) {
      flags[fd] = fd_flags(fd);
      identity[fd] = file_identity(fd);
    }
  }
  bool operator==(const standard_slots&) const = default;
  int flags[3];
  std::pair<dev_t, ino_t> identity[3];
};
#endif

inline bool exists(const std::string& name) {
  struct stat info;
  return stat(name.c_str(), &info) == 0;
}

#ifndef _WIN32
inline std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != dirfd(dir)) fds.insert(fd);
  }
  closedir(dir);
  return fds;
}
#endif

inline std::set<int> read_fd_list(const std::string& name) {
  std::set<int> fds;
  std::istringstream in(read_file(name));
  int fd;
  while (in >> fd) fds.insert(fd);
  return fds;
}

#ifndef _WIN32
// Sets a descriptor's flags for one scope.
struct cloexec_guard {
  cloexec_guard(int fd, int flags) : fd(fd), saved(fcntl(fd, F_GETFD)) {
    fcntl(fd, F_SETFD, flags);
  }
  ~cloexec_guard() {
    if (saved >= 0) fcntl(fd, F_SETFD, saved);
  }
  int fd;
  int saved;
};
#endif

}  // namespace pex_testing
