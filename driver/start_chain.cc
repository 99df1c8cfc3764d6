#include "driver/start_chain.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

char* append_decimal(char* out, unsigned long long value) {
  char digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

// The parent of `pid` as /proc tells it, or -1.
pid_t parent_of(pid_t pid) {
  char name[40] = "/proc/";
  strcpy(append_decimal(name + strlen(name), static_cast<unsigned long long>(pid)), "/stat");
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return -1;
  text[length] = '\0';
  // The command name before the state may hold spaces and ')' of its own.
  const char* name_end = strrchr(text, ')');
  int parent = 0;
  if (name_end == nullptr || sscanf(name_end + 1, " %*c %d", &parent) != 1) return -1;
  return parent;
}

// Whether `wrapper` is this process's parent or an ancestor further up: a
// wrapper that has ended leaves a chain its tool's offspring may still carry.
// Where /proc cannot tell, a live process of that number counts, erring
// towards the refusal: a wrong one costs a line, a missed one a chain.
bool waits_above(pid_t wrapper) {
  pid_t ancestor = getppid();
  for (int depth = 0; depth < 4096 && ancestor > 0; ++depth) {
    if (ancestor == wrapper) return true;
    if (ancestor == 1) return false;
    ancestor = parent_of(ancestor);
  }
  if (ancestor < 0) return kill(wrapper, 0) == 0 || errno == EPERM;
  return false;
}

}  // namespace

const char* file_that_led_back(const char* chain, const char* plugin_path) {
  const char* entries_end = strchrnul(chain, ';');
  struct stat plugin;
  if (*entries_end != ';' || stat(plugin_path, &plugin) != 0) return nullptr;
  // An entry that does not read as one (the caller's own doing) is passed
  // over, so that the entries appended after it still count.
  for (const char* entry = chain; entry < entries_end;) {
    unsigned long long pid = 0, device = 0, inode = 0;
    int length = 0;
    if (sscanf(entry, "%llx:%llx:%llx%n", &pid, &device, &inode, &length) == 3 &&
        (entry[length] == ',' || entry[length] == ';') && device == plugin.st_dev &&
        inode == plugin.st_ino && pid > 0 && pid <= INT_MAX && waits_above(static_cast<pid_t>(pid)))
      return entries_end + 1;
    const char* next = strchrnul(entry, ',');
    if (next >= entries_end) break;
    entry = next + 1;
  }
  return nullptr;
}

char** environment_for_tool(char* const* environment, size_t count, const char* chain,
                            size_t chain_slot, const char* plugin_path, const char* tool_path) {
  struct stat plugin = {};
  stat(plugin_path, &plugin);
  // The entries above are kept; the file the nearest of them started is not.
  size_t kept = chain != nullptr ? static_cast<size_t>(strchrnul(chain, ';') - chain) : 0;
  size_t slots = count + 2;
  size_t text_size = sizeof wrapper_chain_variable + 1 + kept + 1 + 3 * 16 + 3 + strlen(tool_path);
  // Pointers first, the variable's text after them, in one block.
  auto** tool_environment = static_cast<char**>(checked_alloc(slots * sizeof(char*) + text_size));
  char* text = reinterpret_cast<char*>(tool_environment + slots);
  if (count > 0) memcpy(tool_environment, environment, count * sizeof(char*));

  char* out = stpcpy(text, wrapper_chain_variable);
  *out++ = '=';
  if (kept > 0) {
    memcpy(out, chain, kept);
    out += kept;
    *out++ = ',';
  }
  out = append_hex(out, static_cast<unsigned long long>(getpid()));
  *out++ = ':';
  out = append_hex(out, static_cast<unsigned long long>(plugin.st_dev));
  *out++ = ':';
  out = append_hex(out, static_cast<unsigned long long>(plugin.st_ino));
  *out++ = ';';
  strcpy(out, tool_path);

  if (chain == nullptr) chain_slot = count++;
  tool_environment[chain_slot] = text;
  tool_environment[count] = nullptr;
  return tool_environment;
}
