// Text at the Windows boundary: the programs hold UTF-8 inside and speak
// UTF-16 to the system. A lone surrogate, which the system allows in names,
// arguments and variables, is held in the three bytes UTF-8 would give it
// (WTF-8), so every unit survives the round trip. Results come from
// checked_alloc and go back with free().
#pragma once

wchar_t* utf8_to_wide(const char* text);
char* wide_to_utf8(const wchar_t* text);

// The process's environment, "NAME=value" entries ending with a null, read
// from the system's block the first time it is asked for and held from then on.
char** held_environment();

// `path` as the system should be handed it: full and without "." or ".."
// (the system resolves them by the text alone), and past MAX_PATH in the
// long form ("\\?\", "\\?\UNC\") that lifts the limit where the system
// allows it. A copy of `path` when the system cannot make it full.
wchar_t* system_path(const wchar_t* path);
