// Relocation of configured installation directories to where the running
// program really lies. Results come from malloc and belong to the caller, who
// frees them. A failure gives null, except that on Windows the file queries
// (fs.h) end the process when memory runs out.
#pragma once

// The directory `target_dir` relative to the program's directory, following
// symbolic links in the program's path: the program's directory, one "../" per
// component of `bin_dir` past the part it shares with `target_dir`, then the
// rest of `target_dir`. Null when the program lies in `bin_dir` itself or when
// nothing can be computed. A bare name is looked up through PATH first.
char* relocate_prefix(const char* program_name, const char* bin_dir, const char* target_dir);

// The same without resolving symbolic links.
char* relocate_prefix_literal(const char* program_name, const char* bin_dir,
                              const char* target_dir);

char* relocate_prefix_core(const char* program_name, const char* bin_dir, const char* target_dir,
                           bool resolve_links);

// relocate_prefix for `count` target directories at once, the program looked
// up and resolved once: results[i] is what relocate_prefix gives for
// target_dirs[i].
void relocate_prefixes(const char* program_name, const char* bin_dir,
                       const char* const* target_dirs, int count, char** results);

// Stores in *found the first executable regular file PATH yields for `name`,
// in storage the caller frees, or null when PATH is unset or nothing
// qualifies. False only when its scratch storage cannot be had: that is an
// allocation failure, not an absent program.
bool find_program_in_path(const char* name, char** found);

// Splits on '/' (on Windows on '\\' as well). Each component keeps the whole
// run of separators after it, so joining them gives the path back. Returns a
// null-terminated array (count through `count_out` when not null), or null
// when storage runs out or the path is empty. The array and its components are
// one block: release it with free_path_components, never a component alone.
char** split_path_components(const char* path, int* count_out);
void free_path_components(char** components);

// Points into `path` after its last slash or backslash, past a leading drive
// prefix (letter and ':').
const char* path_basename(const char* path);

// Points into `path` after its last '/'.
const char* unix_path_basename(const char* path);
