#include <cstring>

#include "driver/host.h"
#include "paths/relocate.h"
#include "pex/pex.h"

extern char** environ;

char** process_environment() {
  return environ;
}

const char* path_value(const char* found) {
  return found;
}

// A name with a directory says where the program lies; a bare name found on
// PATH is the program found there. One that PATH does not hold (a caller that
// starts the program under another name, or with no arguments at all) tells
// nothing of where the program lies, so the running program's own file
// stands in for it.
const char* own_path(const char* argv0) {
  if (argv0 != nullptr && path_basename(argv0) != argv0) return argv0;
  char* found = nullptr;
  if (argv0 != nullptr && argv0[0] != '\0' && find_program_in_path(argv0, &found) &&
      found != nullptr)
    return found;
  char* running = running_program_path();
  return running != nullptr ? running : argv0;
}

const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code) {
  // No PATH search: the file started must be the file located, even when its
  // path holds no '/' (a PATH entry ending in a backslash).
  return pex_run_for_outcome(PEX_FINAL_STAGE, tool_path, tool_argv, environment, pipeline_name,
                             outcome, error_code);
}

const char* signal_description(int signal_number) {
  return strsignal(signal_number);
}

const char* exception_description(unsigned long) {
  return nullptr;
}
