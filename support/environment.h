// The process's environment variables as the program reads them, one file per
// platform (environment_posix.cc, environment_win32.cc). On Windows they come
// from the system's own block, read once in UTF-16 and held as UTF-8 (see
// win32_text.h), and names match without letter case, as the system matches
// them. Elsewhere they come from the C library's getenv.
#pragma once

// The value of `name`, or null when it is not set.
const char* environment_value(const char* name);
