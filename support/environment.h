// The process's environment variables as the program reads them: on Windows
// from the system's own block, read once in UTF-16 and held as UTF-8 (see
// win32_text.h), names matched without letter case as the system matches
// them; elsewhere the C library's getenv.
#pragma once

// The value of `name`, or null when it is not set.
const char* environment_value(const char* name);
