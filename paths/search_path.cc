#include "paths/search_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "paths/fs.h"
#include "support/alloc.h"

namespace {

bool lookup_trace = false;

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

}  // namespace

void set_lookup_trace(bool on) {
  lookup_trace = on;
}

void append_search_dir(search_path* list, const char* prefix) {
  // PATH may hold a hundred thousand entries: a walk per append would make
  // start-up quadratic in them.
  search_dir** link = &list->head;
  if (list->head != nullptr) {
    search_dir* tail = list->last != nullptr ? list->last : list->head;
    while (tail->next != nullptr) tail = tail->next;
    link = &tail->next;
  }

  size_t length = strlen(prefix);
  if (length > list->longest) list->longest = length;

  // The entry and its private copy of the prefix share one block: lists are
  // never freed, and start-up builds a dozen entries or more from PATH.
  auto* entry = static_cast<search_dir*>(checked_alloc(sizeof(search_dir) + length + 1));
  entry->prefix = reinterpret_cast<char*>(entry + 1);
  memcpy(entry->prefix, prefix, length + 1);
  entry->next = nullptr;
  *link = entry;
  list->last = entry;
}

void load_search_path(const char* string, search_path* list) {
  // A piece, a '/' and the terminator, or "./" and the terminator, always fit.
  auto* buffer = static_cast<char*>(checked_alloc(strlen(string) + 3));
  if (lookup_trace) {
    fprintf(stderr, "Convert string '%s' into prefixes, separator = '%c'\n", string,
            path_list_separator);
  }

  const char* piece = string;
  for (;;) {
    const char* end = find_or_end(piece, path_list_separator);
    size_t length = static_cast<size_t>(end - piece);
    if (length == 0) {
      memcpy(buffer, "./", 3);
    } else {
      memcpy(buffer, piece, length);
      if (!is_separator(piece[length - 1])) buffer[length++] = '/';
      buffer[length] = '\0';
    }
    if (lookup_trace) fprintf(stderr, "  - add prefix: %s\n", buffer);
    append_search_dir(list, buffer);
    if (*end == '\0') break;
    piece = end + 1;
  }
  free(buffer);
}

void load_search_path_from_env(const char* variable, search_path* list) {
  const char* value = getenv(variable);
  if (value != nullptr) load_search_path(value, list);
}

char* locate_file(const search_path* list, const char* name, int mode) {
  if (lookup_trace) fprintf(stderr, "Looking for '%s'\n", name);

  size_t name_length = strlen(name);
  // Every candidate is built here: `longest` bounds every prefix.
  auto* buffer = static_cast<char*>(checked_alloc(name_length + list->longest + 1));

  bool absolute = is_separator(name[0]) || (name[0] != '\0' && name[1] == ':');
  if (absolute) {
    if (is_accessible(name, mode)) {
      memcpy(buffer, name, name_length + 1);
      if (lookup_trace) fputs("  - found: absolute path\n", stderr);
      return buffer;
    }
    if (lookup_trace) fputs("  - failed to locate using absolute path\n", stderr);
  } else {
    for (const search_dir* dir = list->head; dir != nullptr; dir = dir->next) {
      size_t prefix_length = strlen(dir->prefix);
      memcpy(buffer, dir->prefix, prefix_length);
      memcpy(buffer + prefix_length, name, name_length + 1);
      if (is_usable_file(buffer, mode)) {
        return buffer;
      }
    }
  }

  if (lookup_trace && list->head == nullptr) {
    fputs("  - failed: no entries in prefix list\n", stderr);
  }
  free(buffer);
  return nullptr;
}
