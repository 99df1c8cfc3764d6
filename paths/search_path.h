// Ordered lists of directory prefixes and the lookup of a file through them.
// A zeroed search_path is a valid empty list. Entries own copies of their
// prefixes; lists are never freed. Storage comes from the checked allocators,
// so running out of memory ends the process instead of returning.
#pragma once

#include <cstddef>

struct search_dir {
  char* prefix;  // used as stored: a candidate is prefix followed by the name;
                 // it lives in the entry's own block
  search_dir* next;
};

struct search_path {
  search_dir* head;
  size_t longest;    // at least the length of every prefix; sizes the lookup buffer
  search_dir* last;  // null or an entry of this list, so that appending need
                     // not walk from the head; when not the tail, the walk finds it
};

// Turns the trace of loads and lookups on standard error on or off (off at start).
void set_lookup_trace(bool on);

// Appends a copy of `prefix`, unchanged, at the tail.
void append_search_dir(search_path* list, const char* prefix);

// Appends one entry per ':'-separated piece: an empty piece becomes "./", any
// other piece gets a '/' unless it already ends with '/' or a backslash. On
// Windows (';'-separated) quotes around a piece are dropped and an empty
// piece is passed over.
void load_search_path(const char* string, search_path* list);

// Appends `dir` as one entry, as load_search_path would a piece, but never
// split: an installation's own folder may have ':' or ';' in its name.
void load_search_dir(const char* dir, search_path* list);

// load_search_path on the variable's value; an unset variable adds nothing.
void load_search_path_from_env(const char* variable, search_path* list);

// The first path, prefix + name, that is not a directory and passes
// access(mode); an absolute name is tried alone with access. Returns a fresh
// string the caller frees, or null.
char* locate_file(const search_path* list, const char* name, int mode);
