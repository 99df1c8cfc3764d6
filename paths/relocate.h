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

// Splits on '/' only; each component keeps the whole run of '/' after it, so
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
