#include "driver/response_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/host.h"
#include "driver/tool_signals.h"
#include "support/concat.h"
#include "support/temp_file.h"

namespace {

// Writes `bytes` as one argument's line; false with errno set when the write fails.
bool write_response_line(FILE* out, const char* bytes) {
  // An empty line would be no argument at all.
  if (bytes[0] == '\0' && fputs("''", out) == EOF) return false;
  for (const char* c = bytes; *c != '\0'; ++c) {
    if (strchr(" \t\n\r\v\f'\"\\", *c) != nullptr && fputc('\\', out) == EOF) return false;
    if (fputc(*c, out) == EOF) return false;
  }
  return fputc('\n', out) != EOF;
}

// `argument` in the bytes the host spells it in; false with errno set when
// they cannot hold it or the write fails.
bool write_argument(FILE* out, const char* argument) {
  char* bytes = response_file_text(argument);
  bool written = bytes != nullptr && write_response_line(out, bytes);
  free(bytes);
  return written;
}

// The caller's `arguments` in a new response file; its name, or null with
// errno set and no file left behind.
char* write_response_file(char* const* arguments) {
  char* directory = response_file_directory();
  if (directory == nullptr) return nullptr;
  int fd = -1;
  char* name = create_temp_file(directory, ".rsp", &fd);
  int saved_errno = errno;
  free(directory);
  if (name == nullptr) {
    errno = saved_errno;
    return nullptr;
  }
  FILE* out = fdopen(fd, "wb");
  bool written = out != nullptr;
  for (char* const* argument = arguments; written && *argument != nullptr; ++argument)
    written = write_argument(out, *argument);
  saved_errno = errno;
  if (out == nullptr) {
    close(fd);
  } else if (fclose(out) != 0 && written) {
    written = false;
    saved_errno = errno;
  }
  if (written) return name;
  remove_response_file(name);
  free(name);
  errno = saved_errno;
  return nullptr;
}

}  // namespace

// No path search: the file started must be the file located, even when its
// path holds no '/' (a PATH entry ending in a backslash). Nothing is measured
// before the first start: a line that fits costs nothing extra.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code) {
  const char* refused = pex_run_for_outcome(PEX_FINAL_STAGE, tool_path, tool_argv, environment,
                                            pipeline_name, outcome, error_code);
  if (refused == nullptr || *error_code != E2BIG) return refused;
  hold_signals_while_writing();
  char* response_file = write_response_file(tool_argv + 3);
  int saved_errno = errno;
  remove_at_end(response_file);
  release_held_signals();
  if (response_file == nullptr) {
    *error_code = saved_errno;
    return "write response file";
  }
  char* short_argv[] = {tool_argv[0], tool_argv[1], tool_argv[2],
                        concat_strings("@", response_file, nullptr), nullptr};
  const char* failure = pex_run_for_outcome(PEX_FINAL_STAGE, tool_path, short_argv, environment,
                                            pipeline_name, outcome, error_code);
  remove_response_file(response_file);
  remove_at_end(nullptr);
  return failure;
}
