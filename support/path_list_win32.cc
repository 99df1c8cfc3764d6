#include "support/path_list.h"

const char path_list_separator = ';';

const bool backslash_separates = true;

// Installers quote entries that hold a blank and leave empty ones behind. The
// system drops the quotes and never reads an empty entry as the current folder.
bool trim_list_piece(const char** start, size_t* length) {
  if (*length >= 2 && (*start)[0] == '"' && (*start)[*length - 1] == '"') {
    ++*start;
    *length -= 2;
  }
  return *length > 0;
}
