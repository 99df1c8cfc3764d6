#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/host.h"
#include "paths/fs.h"
#include "paths/relocate.h"
#include "pex/pex.h"
#include "support/concat.h"
#include "support/temp_file.h"

extern char** environ;

char** process_environment() {
  return environ;
}

const char* path_value(const char* found) {
  return found;
}

// argv[0], or the file a bare one names on PATH, says where the program lies
// only when it is the running program's own file (under any link, keeping
// its spelling). A caller may search one PATH and start another file, and a
// name that names no file or another one tells nothing, so the running
// program's own file stands in for it.
const char* own_path(const char* argv0) {
  const char* named = argv0;
  char* found = nullptr;
  if (argv0 != nullptr && path_basename(argv0) == argv0)
    named = argv0[0] != '\0' && find_program_in_path(argv0, &found) ? found : nullptr;
  if (named != nullptr) {
    unsigned long long device = 0, index = 0, own_device = 0, own_index = 0;
    if (!running_program_identity(&own_device, &own_index) ||
        (file_identity(named, &device, &index) && device == own_device && index == own_index))
      return named;
  }
  char* running = running_program_path();
  return running != nullptr ? running : argv0;
}

// The tools take the bytes as given.
const char* path_for_tool(const char* path) {
  return path;
}

char* response_file_directory() {
  return concat_strings(temp_directory(), nullptr);
}

char* response_file_text(const char* argument) {
  return concat_strings(argument, nullptr);
}

void remove_response_file(const char* name) {
  unlink(name);
}

const char* signal_description(int signal_number) {
  return strsignal(signal_number);
}

const char* exception_description(unsigned long) {
  return nullptr;
}
