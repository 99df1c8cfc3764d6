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

// The one walk of a directory list such as PATH, which ends at `list_end`
// (its terminator): reads the piece at *cursor into `prefix` (room for the
// list's length and 3 bytes) as a prefix a file
// name is appended to, its length through `length`, and moves *cursor to the
// next piece, to null after the last. An empty piece becomes "./"; any other
// gets a '/' unless it ends with a separator: '/', or a backslash where the
// system separates with it, or everywhere with `backslash_ends`. On Windows
// quotes around a piece are dropped. False for a piece the system passes
// over (on Windows an empty one).
bool next_list_prefix(const char** cursor, const char* list_end, char* prefix, size_t* length,
                      bool backslash_ends);

// load_search_path on the variable's value; an unset variable adds nothing.
void load_search_path_from_env(const char* variable, search_path* list);

// The first path, prefix + name, that is not a directory and passes
// access(mode); an absolute name is tried alone with access. Returns a fresh
// string the caller frees, or null.
char* locate_file(const search_path* list, const char* name, int mode);
