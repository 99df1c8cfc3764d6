#include "driver/start_chain.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "driver/start_chain_platform.h"
#include "support/alloc.h"
#include "support/digits.h"
#include "support/text_scan.h"

namespace {

// Hexadecimal: cheaper than decimal on the start-up path.
char* append_hex(char* out, unsigned long long value) {
  return append_digits(out, value, 16);
}

// The length of the entry "<pid>:<device>:<inode>" at `entry`, its three
// numbers through `fields`, or 0 when it does not read as one. Not sscanf,
// which measures the whole rest of the chain for every entry.
size_t read_entry(const char* entry, unsigned long long fields[3]) {
  const char* p = entry;
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *p++ != ':') return 0;
    p = read_hex(p, &fields[i]);
    if (p == nullptr) return 0;
  }
  if (*p != ',' && *p != ';' && *p != '\0') return 0;
  bool live_pid = fields[0] > 0 && fields[0] <= INT_MAX;
  return live_pid ? static_cast<size_t>(p - entry) : 0;
}

}  // namespace

const char* file_that_led_back(const char* chain, unsigned long long plugin_device,
                               unsigned long long plugin_index) {
  const char* entries_end = find_or_end(chain, ';');
  if (*entries_end != ';') return nullptr;
  // An entry that does not read as one (the caller's own doing) is passed
  // over, so that the entries appended after it still count.
  for (const char* entry = chain; entry < entries_end;) {
    unsigned long long fields[3];
    if (read_entry(entry, fields) > 0 && fields[1] == plugin_device && fields[2] == plugin_index &&
        waits_above(fields[0]))
      return entries_end + 1;
    const char* next = find_or_end(entry, ',');
    if (next >= entries_end) break;
    entry = next + 1;
  }
  return nullptr;
}

char** hand_chain_to_tool(char* const* environment, size_t count, const char* chain,
                          size_t chain_slot, unsigned long long plugin_device,
                          unsigned long long plugin_index, const char* tool_path) {
  // Of the entries above, only those of wrappers that still wait are passed
  // on, so that the chain grows with the real nesting alone and an inherited
  // one cannot push the variable past the system's limit; the file the
  // nearest of them started is dropped too.
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
  for (const char* entry = chain; entry != nullptr && entry < chain + kept;) {
    unsigned long long fields[3];
    size_t length = read_entry(entry, fields);
    if (length > 0 && waits_above(fields[0])) {
      memcpy(out, entry, length);
      out += length;
      *out++ = ',';
    }
    const char* next = find_or_end(entry, ',');
    if (*next == '\0') break;
    entry = next + 1;
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
