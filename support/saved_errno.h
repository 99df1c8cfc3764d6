// Cleanup after a failure may change errno, and the caller must hear of the
// failure, not of the cleanup. A saved_errno puts errno back as it was when
// the guard was made, at the end of its scope.
#pragma once

#include <cerrno>

struct saved_errno {
  int value = errno;
  ~saved_errno() { errno = value; }
};
