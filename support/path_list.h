// Directory lists such as PATH, read the one way every part of the programs
// reads them, and what separates their pieces and a path's components on
// this platform (path_list_posix.cc, path_list_win32.cc). Text is UTF-8.
#pragma once

#include <cstddef>
#include <cstring>

// Separates the directories of PATH and of a search list's string.
extern const char path_list_separator;

// Whether '\\' separates the components of a path as '/' does (Windows).
extern const bool backslash_separates;

// What separates the components of a path. Inline, because the relocation
// asks it of every byte of the program's path at each start.
inline bool is_path_separator(char c) {
  return c == '/' || (c == '\\' && backslash_separates);
}

// Narrows the piece of a directory list at *start, *length bytes long, to the
// directory it names as the system reads it. False when the system passes
// such a piece over.
bool trim_list_piece(const char** start, size_t* length);

// Whether a backslash that ends a piece ends its directory, as '/' does:
// only where the system separates with it (PATH), or on every platform (the
// programs' own search lists).
enum class backslash_end { where_it_separates, always };

// Reads the piece of a directory list at *cursor into `prefix`, ready for a
// file name to be appended, and moves *cursor to the next piece, or to null
// after the last. The list ends at `list_end`, its terminator. `prefix` needs
// room for the list's length and 3 bytes, and *length gets the prefix's.
// An empty piece becomes "./". Any other piece gets a '/' unless it already
// ends with a separator, a backslash counting as `backslash` says. On Windows
// the quotes around a piece are dropped, and an empty piece is passed over:
// the call then returns false. Inline, because start-up reads PATH with it.
inline bool next_list_prefix(const char** cursor, const char* list_end, char* prefix,
                             size_t* length, backslash_end backslash) {
  const char* start = *cursor;
  auto* separator = static_cast<const char*>(
      memchr(start, path_list_separator, static_cast<size_t>(list_end - start)));
  const char* end = separator != nullptr ? separator : list_end;
  *cursor = separator != nullptr ? separator + 1 : nullptr;
  auto size = static_cast<size_t>(end - start);
  bool read = trim_list_piece(&start, &size);
  if (size == 0) {
    memcpy(prefix, "./", 3);
    *length = 2;
    return read;
  }
  memcpy(prefix, start, size);
  char last = start[size - 1];
  bool ends = is_path_separator(last) || (backslash == backslash_end::always && last == '\\');
  if (!ends) prefix[size++] = '/';
  prefix[size] = '\0';
  *length = size;
  return read;
}
