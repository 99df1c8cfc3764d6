// Literal relocation over arbitrary strings: no crash, no leak, and a result
// that is null or ends as target_dir ends. When the program name carries a
// directory (no PATH walk), the result must match a plain string model.
// Input: program, bin_dir, target_dir and optionally PATH, cut at zero bytes.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "paths/relocate.h"

namespace {

// putenv keeps this buffer, so rewriting it changes PATH without the
// environment growing with every input.
char path_entry[8192] = "PATH=";

void set_path(const std::optional<std::string>& value) {
  if (!value) {
    unsetenv("PATH");
    return;
  }
  std::string entry = "PATH=" + value->substr(0, sizeof(path_entry) - 6);
  memcpy(path_entry, entry.c_str(), entry.size() + 1);
  putenv(path_entry);
}

std::vector<std::string> components_of(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '/') {
      while (i < path.size() && path[i] == '/') ++i;
      out.push_back(path.substr(start, i - start));
      start = i;
    } else {
      ++i;
    }
  }
  if (start < path.size()) out.push_back(path.substr(start));
  return out;
}

std::optional<std::string> model(const std::string& program, const std::string& bin_dir,
                                 const std::string& target_dir) {
  std::vector<std::string> p = components_of(program);
  std::vector<std::string> b = components_of(bin_dir);
  std::vector<std::string> t = components_of(target_dir);
  if (p.empty() || b.empty()) return std::nullopt;
  p.pop_back();
  if (p == b) return std::nullopt;
  size_t limit = b.size() < t.size() ? b.size() : t.size();
  size_t shared = 0;
  while (shared < limit && b[shared] == t[shared]) ++shared;
  if (shared == 0) return std::nullopt;
  std::string result;
  for (const std::string& c : p) result += c;
  for (size_t i = shared; i < b.size(); ++i) result += "../";
  for (size_t i = shared; i < t.size(); ++i) result += t[i];
  return result;
}

bool carries_directory(const std::string& name) {
  bool drive = name.size() >= 2 &&
               ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
               name[1] == ':';
  return drive || name.find_first_of("/\\") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = split_input(data, size, 4);
  parts.resize(parts.size() < 3 ? 3 : parts.size());
  const std::string& program = parts[0];
  const std::string& bin_dir = parts[1];
  const std::string& target_dir = parts[2];
  set_path(parts.size() > 3 ? std::optional<std::string>(parts[3]) : std::nullopt);

  char* raw = relocate_prefix_literal(program.c_str(), bin_dir.c_str(), target_dir.c_str());
  if (raw == nullptr) {
    if (carries_directory(program)) require(!model(program, bin_dir, target_dir));
    return 0;
  }
  std::string result = raw;
  free(raw);

  if (carries_directory(program)) require(model(program, bin_dir, target_dir) == result);

  // Empty only when nothing is left to write: no program directory and the
  // target equal to bin_dir, whose directory the program then is.
  if (result.empty()) {
    require(target_dir == bin_dir);
  } else if (target_dir.back() == '/' || target_dir == bin_dir) {
    require(result.back() == '/');
  } else {
    std::string last = target_dir.substr(target_dir.rfind('/') + 1);
    require(result.size() >= last.size() &&
            result.compare(result.size() - last.size(), last.size(), last) == 0);
  }
  return 0;
}
