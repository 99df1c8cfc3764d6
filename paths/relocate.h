// Relocation of configured installation directories to where the running
// program really lies. Everything here allocates with malloc/strdup and answers
// any failure with null; results belong to the caller and go back with free().
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

// The running program's own file as an absolute path without symbolic links,
// or null when the system cannot tell; the caller frees it. Each platform has
// a file of its own for it.
char* running_program_path();

// A file's identity, the same under every link: device and inode, or on
// Windows volume serial number and file index. False when it cannot be told.
bool file_identity(const char* path, unsigned long long* device, unsigned long long* index);

// The identity of the running program's own file, as file_identity gives it;
// on POSIX taken once per run.
bool running_program_identity(unsigned long long* device, unsigned long long* index);

// Splits on '/' (on Windows on '\\' as well); each component keeps the whole
// run of separators after it, so
// joining them gives the path back. Returns a null-terminated array (count
// through `count_out` when not null), or null when storage runs out or the
// path is empty. The array and its components are one block: release it with
// free_path_components, never a component on its own.
char** split_path_components(const char* path, int* count_out);
void free_path_components(char** components);

// Points into `path` after its last slash or backslash, past a leading drive
// prefix (letter and ':').
const char* path_basename(const char* path);

// Points into `path` after its last '/'.
const char* unix_path_basename(const char* path);

// A copy of the resolved absolute path, or of `path` unchanged when it cannot
// be resolved; null only when the copy cannot be allocated.
char* canonical_path_copy(const char* path);
