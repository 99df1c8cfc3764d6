#include "driver/start_chain.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"

namespace {

// Hexadecimal: cheaper than decimal on the start-up path.
char* append_hex(char* out, unsigned long long value) {
  int shift = (63 - __builtin_clzll(value | 1)) & ~3;
  for (; shift >= 0; shift -= 4) *out++ = "0123456789abcdef"[(value >> shift) & 0xf];
  return out;
}

// The first `c` in `text`, or its terminator.
const char* find_or_end(const char* text, char c) {
  const char* found = strchr(text, c);
  return found != nullptr ? found : text + strlen(text);
}

}  // namespace

const char* file_that_led_back(const char* chain, const char* plugin_path) {
  const char* entries_end = find_or_end(chain, ';');
  unsigned long long plugin_device = 0, plugin_index = 0;
  if (*entries_end != ';' || !file_identity(plugin_path, &plugin_device, &plugin_index))
    return nullptr;
  // An entry that does not read as one (the caller's own doing) is passed
  // over, so that the entries appended after it still count.
  for (const char* entry = chain; entry < entries_end;) {
    unsigned long long pid = 0, device = 0, inode = 0;
    int length = 0;
    if (sscanf(entry, "%llx:%llx:%llx%n", &pid, &device, &inode, &length) == 3 &&
        (entry[length] == ',' || entry[length] == ';') && device == plugin_device &&
        inode == plugin_index && pid > 0 && pid <= INT_MAX && waits_above(pid))
      return entries_end + 1;
    const char* next = find_or_end(entry, ',');
    if (next >= entries_end) break;
    entry = next + 1;
  }
  return nullptr;
}

char** environment_for_tool(char* const* environment, size_t count, const char* chain,
                            size_t chain_slot, const char* plugin_path, const char* tool_path) {
  unsigned long long plugin_device = 0, plugin_index = 0;
  file_identity(plugin_path, &plugin_device, &plugin_index);
  // The entries above are kept; the file the nearest of them started is not.
  size_t kept = chain != nullptr ? static_cast<size_t>(find_or_end(chain, ';') - chain) : 0;
  size_t slots = count + 2;
  size_t text_size = sizeof wrapper_chain_variable + 1 + kept + 1 + 3 * 16 + 3 + strlen(tool_path);
  // Pointers first, the variable's text after them, in one block.
  auto** tool_environment = static_cast<char**>(checked_alloc(slots * sizeof(char*) + text_size));
  char* text = reinterpret_cast<char*>(tool_environment + slots);
  if (count > 0) memcpy(tool_environment, environment, count * sizeof(char*));

  memcpy(text, wrapper_chain_variable, sizeof wrapper_chain_variable - 1);
  char* out = text + sizeof wrapper_chain_variable - 1;
  *out++ = '=';
  if (kept > 0) {
    memcpy(out, chain, kept);
    out += kept;
    *out++ = ',';
  }
  out = append_hex(out, own_process_id());
  *out++ = ':';
  out = append_hex(out, plugin_device);
  *out++ = ':';
  out = append_hex(out, plugin_index);
  *out++ = ';';
  strcpy(out, tool_path);

  if (chain == nullptr) chain_slot = count++;
  tool_environment[chain_slot] = text;
  tool_environment[count] = nullptr;
  return hand_over_environment(tool_environment, text);
}
