// Ordered lists of directory prefixes and the lookup of a file through them.
// A zeroed search_path is a valid empty list. Entries own copies of their
// prefixes, and lists are never freed. Storage comes from the checked
// allocators, so running out of memory ends the process instead of returning.
#pragma once

#include <cstddef>

// A candidate is the prefix as stored followed by the name. The prefix lives
// in the entry's own block.
struct search_dir {
  char* prefix;
  search_dir* next;
};

// `longest` is at least the length of every prefix and sizes the lookup
// buffer. `last` is null or an entry of this list, so that appending need not
// walk from the head; when it is not the tail, the walk goes on from it.
struct search_path {
  search_dir* head;
  size_t longest;
  search_dir* last;
};

// Turns the trace of loads and lookups on standard error on or off (off at start).
void set_lookup_trace(bool on);

// Appends a copy of `prefix`, unchanged, at the tail.
void append_search_dir(search_path* list, const char* prefix);

// Appends one entry per ':'-separated piece, as next_list_prefix reads it
// with backslash_end::always. An empty piece becomes "./", and any other gets
// a '/' unless it already ends with '/' or a backslash. On Windows the pieces
// are ';'-separated, the quotes around one are dropped, and an empty one is
// passed over.
void load_search_path(const char* string, search_path* list);

// Appends `dir` as one entry, as load_search_path would a piece, but never
// split: an installation's own folder may have ':' or ';' in its name.
void load_search_dir(const char* dir, search_path* list);

// load_search_path on the variable's value. An unset variable adds nothing.
void load_search_path_from_env(const char* variable, search_path* list);

// The first path, prefix + name, that is not a directory and passes
// access(mode). An absolute name is tried alone, with access only. Returns a
// fresh string the caller frees, or null.
char* locate_file(const search_path* list, const char* name, int mode);
