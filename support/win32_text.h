// Text at the Windows boundary: the programs hold UTF-8 inside and speak
// UTF-16 to the system. A lone surrogate, which the system allows in names,
// arguments and variables, is held in the three bytes UTF-8 would give it
// (WTF-8), so every unit survives the round trip. Results come from
// checked_alloc and go back with free().
#pragma once

#include <cstdlib>

#include "support/saved_errno.h"

wchar_t* utf8_to_wide(const char* text);
char* wide_to_utf8(const wchar_t* text);

// A UTF-16 string handed to the system for the length of one statement or
// scope, and freed at its end, so a call that needs one stays a single line.
// It converts UTF-8, or takes over a string from checked_alloc. Freeing it
// leaves errno alone, so the call's own error survives the holder.
struct wide_text {
  wchar_t* text;
  explicit wide_text(const char* utf8) : text(utf8_to_wide(utf8)) {}
  explicit wide_text(wchar_t* owned) : text(owned) {}
  wide_text(const wide_text&) = delete;
  wide_text& operator=(const wide_text&) = delete;
  ~wide_text() {
    saved_errno keep;
    free(text);
  }
  operator wchar_t*() const { return text; }
};

// The process's environment, "NAME=value" entries ending with a null, read
// from the system's block the first time it is asked for and held from then on.
char** held_environment();

// `path` as the system should be handed it: full and without "." or ".."
// (the system resolves them by the text alone), and past MAX_PATH in the
// long form ("\\?\", "\\?\UNC\") that lifts the limit where the system
// allows it. A copy of `path` when the system cannot make it full.
wchar_t* system_path(const wchar_t* path);
