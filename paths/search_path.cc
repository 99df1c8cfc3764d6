#include "paths/search_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "paths/fs.h"
#include "support/alloc.h"
#include "support/diagnostics.h"
#include "support/digits.h"
#include "support/environment.h"

namespace {

bool lookup_trace = false;

// A search list's own rule, the same on every platform, unlike
// is_path_separator: a trailing backslash ends a directory, and a name that
// starts with one is absolute.
bool is_slash_or_backslash(char c) {
  return c == '/' || c == '\\';
}

bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// One trace line around a path or name, written at once so that it stays whole
// beside the tool's own output. A control byte in the text could pass for a
// line of its own or reach the terminal, so it is written as an escape ("\n"
// for a newline, "\x1b" and the like for the others). A backslash is doubled
// only where it would read as part of such an escape (before 'n', 'x', a
// backslash or a control byte), so ordinary backslashes print as they are.
void trace_line(const char* before, const char* text, const char* after) {
  size_t before_length = strlen(before);
  auto* line =
      static_cast<char*>(checked_alloc(before_length + 4 * strlen(text) + strlen(after) + 1));
  memcpy(line, before, before_length);
  char* out = line + before_length;
  for (const char* p = text; *p != '\0'; ++p) {
    if (is_control(*p)) {
      *out++ = '\\';
      if (*p == '\n') {
        *out++ = 'n';
      } else {
        *out++ = 'x';
        out = append_digits(out, static_cast<unsigned char>(*p), 16, 2);
      }
      continue;
    }
    if (*p == '\\' &&
        (p[1] == 'n' || p[1] == 'x' || p[1] == '\\' || (p[1] != '\0' && is_control(p[1]))))
      *out++ = '\\';
    *out++ = *p;
  }
  strcpy(out, after);
  print_error("%s", line);
  free(line);
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
  // Start-up loads short strings, so only a long one (PATH) costs an allocation.
  char short_buffer[256];
  size_t size = strlen(string) + 3;
  char* buffer =
      size <= sizeof short_buffer ? short_buffer : static_cast<char*>(checked_alloc(size));
  if (lookup_trace) {
    char after[] = "' into prefixes, separator = '?'\n";
    after[sizeof after - 4] = path_list_separator;
    trace_line("Convert string '", string, after);
  }

  for (const char* piece = string; piece != nullptr;) {
    size_t length = 0;
    if (!next_list_prefix(&piece, string + size - 3, buffer, &length, backslash_end::always))
      continue;
    if (lookup_trace) trace_line("  - add prefix: ", buffer, "\n");
    append_search_dir(list, buffer);
  }
  if (buffer != short_buffer) free(buffer);
}

void load_search_dir(const char* dir, search_path* list) {
  size_t length = strlen(dir);
  char short_buffer[256];
  char* buffer = length + 3 <= sizeof short_buffer ? short_buffer
                                                   : static_cast<char*>(checked_alloc(length + 3));
  if (length == 0) {
    memcpy(buffer, "./", 3);
  } else {
    memcpy(buffer, dir, length);
    if (!is_slash_or_backslash(dir[length - 1])) buffer[length++] = '/';
    buffer[length] = '\0';
  }
  if (lookup_trace) trace_line("  - add prefix: ", buffer, "\n");
  append_search_dir(list, buffer);
  if (buffer != short_buffer) free(buffer);
}

void load_search_path_from_env(const char* variable, search_path* list) {
  const char* value = environment_value(variable);
  if (value != nullptr) load_search_path(value, list);
}

char* locate_file(const search_path* list, const char* name, int mode) {
  if (lookup_trace) trace_line("Looking for '", name, "'\n");

  size_t name_length = strlen(name);
  // Every candidate is built here: `longest` bounds every prefix.
  auto* buffer = static_cast<char*>(checked_alloc(name_length + list->longest + 1));

  bool absolute = is_slash_or_backslash(name[0]) || (name[0] != '\0' && name[1] == ':');
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
        if (lookup_trace) trace_line("  - found: ", buffer, "\n");
        return buffer;
      }
    }
    if (lookup_trace && list->head != nullptr)
      fputs("  - failed: not found in any prefix\n", stderr);
  }

  if (lookup_trace && list->head == nullptr) {
    fputs("  - failed: no entries in prefix list\n", stderr);
  }
  free(buffer);
  return nullptr;
}
