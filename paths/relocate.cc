#include "paths/relocate.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "paths/fs.h"
#include "paths/search_path.h"
#include "support/environment.h"
#include "support/path_list.h"

namespace {

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// stpcpy, which not every C library has.
char* append_text(char* out, const char* text) {
  size_t length = strlen(text);
  memcpy(out, text, length);
  return out + length;
}

bool same_components(char** left, char** right, int count) {
  for (int i = 0; i < count; ++i) {
    if (!same_path_component(left[i], right[i])) return false;
  }
  return true;
}

// The program's directory, one "../" per component of bin_dir past the shared
// part, then the rest of target_dir. Null when the two configured directories
// share no leading part.
char* join_relocated(char** program, int directory_count, char** bin, int bin_count, char** target,
                     int target_count) {
  int shared_limit = bin_count < target_count ? bin_count : target_count;
  if (shared_limit <= 0) return nullptr;
  int shared = 0;
  while (shared < shared_limit && same_path_component(bin[shared], target[shared])) ++shared;
  if (shared == 0) return nullptr;

  size_t size = 1 + 3 * static_cast<size_t>(bin_count - shared);
  for (int i = 0; i < directory_count; ++i) size += strlen(program[i]);
  for (int i = shared; i < target_count; ++i) size += strlen(target[i]);
  auto* result = static_cast<char*>(malloc(size));
  if (result == nullptr) return nullptr;

  char* out = result;
  for (int i = 0; i < directory_count; ++i) out = append_text(out, program[i]);
  for (int i = shared; i < bin_count; ++i) out = append_text(out, "../");
  for (int i = shared; i < target_count; ++i) out = append_text(out, target[i]);
  *out = '\0';
  return result;
}

}  // namespace

// The buffer is heap storage so that a very long PATH cannot overflow the stack.
bool find_program_in_path(const char* name, char** found) {
  *found = nullptr;
  const char* path = environment_value("PATH");
  if (path == nullptr) return true;

  size_t name_length = strlen(name);
  // Room for the longest element or "./", one '/', the name and the
  // terminator. The prefix's own terminator lies where the name goes.
  size_t path_length = strlen(path);
  size_t element_room = path_length > 2 ? path_length : 2;
  auto* candidate = static_cast<char*>(malloc(element_room + 1 + name_length + 1));
  if (candidate == nullptr) return false;

  for (const char* element = path; element != nullptr;) {
    size_t length = 0;
    if (!next_list_prefix(&element, path + path_length, candidate, &length,
                          backslash_end::where_it_separates))
      continue;
    memcpy(candidate + length, name, name_length + 1);
    if (is_executable_file(candidate)) {
      *found = candidate;
      return true;
    }
  }
  free(candidate);
  return true;
}

char** split_path_components(const char* path, int* count_out) {
  // An empty path names no location, and the relocation then falls back.
  if (path == nullptr || path[0] == '\0') return nullptr;

  size_t runs = 0;
  const char* p = find_separator_or_end(path);
  while (*p != '\0') {
    ++runs;
    while (is_path_separator(*p)) ++p;
    p = find_separator_or_end(p);
  }
  // The count must fit the int that callers receive.
  if (runs > INT_MAX - 2) return nullptr;
  size_t length = static_cast<size_t>(p - path);
  // One block holds the array and every component after it: start-up runs
  // this several times, and one allocation costs far less than a dozen.
  size_t slots = runs + 2;
  auto** components = static_cast<char**>(malloc(slots * sizeof(char*) + length + slots));
  if (components == nullptr) return nullptr;
  char* storage = reinterpret_cast<char*>(components + slots);

  int count = 0;
  for (const char* start = path; *start != '\0';) {
    const char* end = find_separator_or_end(start);
    while (is_path_separator(*end)) ++end;
    size_t size = static_cast<size_t>(end - start);
    memcpy(storage, start, size);
    storage[size] = '\0';
    components[count++] = storage;
    storage += size + 1;
    start = end;
  }
  components[count] = nullptr;
  if (count_out != nullptr) *count_out = count;
  return components;
}

void free_path_components(char** components) {
  free(components);
}

const char* path_basename(const char* path) {
  if (is_ascii_letter(path[0]) && path[1] == ':') path += 2;
  // Two library scans beat a loop over every character: start-up asks this
  // of its own long path.
  const char* slash = strrchr(path, '/');
  const char* backslash = strrchr(path, '\\');
  const char* last =
      slash == nullptr || (backslash != nullptr && backslash > slash) ? backslash : slash;
  return last != nullptr ? last + 1 : path;
}

const char* unix_path_basename(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

namespace {

// relocate_prefix_core for each of `count` targets, the program looked up,
// resolved and split once: start-up relocates two directories.
void relocate_each(const char* program_name, const char* bin_dir, const char* const* target_dirs,
                   int count, char** results, bool resolve_links) {
  for (int i = 0; i < count; ++i) results[i] = nullptr;
  if (bin_dir == nullptr || program_name == nullptr) return;

  char* found = nullptr;
  if (path_basename(program_name) == program_name && !find_program_in_path(program_name, &found))
    return;
  const char* program = found != nullptr ? found : program_name;
  // The split copies what it needs, so the resolved path can stay on the stack.
  char resolved[resolved_path_size];
  if (resolve_links && resolve_path(program, resolved)) program = resolved;

  int program_count = 0;
  char** program_parts = split_path_components(program, &program_count);
  free(found);
  if (program_parts == nullptr) return;

  int bin_count = 0;
  char** bin_parts = split_path_components(bin_dir, &bin_count);
  if (bin_parts == nullptr) {
    free_path_components(program_parts);
    return;
  }

  // The program's own file name takes no part in what follows.
  int directory_count = program_count > 0 ? program_count - 1 : 0;
  bool in_bin_dir =
      directory_count == bin_count && same_components(program_parts, bin_parts, directory_count);
  for (int i = 0; i < count && !in_bin_dir; ++i) {
    int target_count = 0;
    char** target_parts = split_path_components(target_dirs[i], &target_count);
    if (target_parts == nullptr) continue;
    results[i] = join_relocated(program_parts, directory_count, bin_parts, bin_count, target_parts,
                                target_count);
    free_path_components(target_parts);
  }
  free_path_components(bin_parts);
  free_path_components(program_parts);
}

}  // namespace

char* relocate_prefix_core(const char* program_name, const char* bin_dir, const char* target_dir,
                           bool resolve_links) {
  char* result = nullptr;
  if (target_dir != nullptr)
    relocate_each(program_name, bin_dir, &target_dir, 1, &result, resolve_links);
  return result;
}

void relocate_prefixes(const char* program_name, const char* bin_dir,
                       const char* const* target_dirs, int count, char** results) {
  relocate_each(program_name, bin_dir, target_dirs, count, results, true);
}

char* relocate_prefix(const char* program_name, const char* bin_dir, const char* target_dir) {
  return relocate_prefix_core(program_name, bin_dir, target_dir, true);
}

char* relocate_prefix_literal(const char* program_name, const char* bin_dir,
                              const char* target_dir) {
  return relocate_prefix_core(program_name, bin_dir, target_dir, false);
}
