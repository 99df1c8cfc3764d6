#include "driver/response_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/host.h"
#include "support/concat.h"
#include "support/temp_file.h"

bool write_response_line(FILE* out, const char* bytes) {
  // An empty line would be no argument at all.
  if (bytes[0] == '\0' && fputs("''", out) == EOF) return false;
  for (const char* c = bytes; *c != '\0'; ++c) {
    if (strchr(" \t\n\r\v\f'\"\\", *c) != nullptr && fputc('\\', out) == EOF) return false;
    if (fputc(*c, out) == EOF) return false;
  }
  return fputc('\n', out) != EOF;
}

char* write_response_file_in(const char* directory, char* const* arguments,
                             bool (*write_line)(FILE* out, const char* argument)) {
  int fd = -1;
  char* name = create_temp_file(directory, ".rsp", &fd);
  if (name == nullptr) return nullptr;
  FILE* out = fdopen(fd, "wb");
  bool written = out != nullptr;
  for (char* const* argument = arguments; written && *argument != nullptr; ++argument)
    written = write_line(out, *argument);
  int saved_errno = errno;
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

// No path search: the file started must be the file located, even when its
// path holds no '/' (a PATH entry ending in a backslash). Nothing is measured
// before the first start: a line that fits costs nothing extra.
const char* run_tool(const char* tool_path, char** tool_argv, char* const* environment,
                     const char* pipeline_name, pex_outcome* outcome, int* error_code) {
  const char* refused = pex_run_for_outcome(PEX_FINAL_STAGE, tool_path, tool_argv, environment,
                                            pipeline_name, outcome, error_code);
  if (refused == nullptr || *error_code != E2BIG) return refused;
  char* response_file = write_response_file(tool_argv + 3);
  if (response_file == nullptr) {
    *error_code = errno;
    return "write response file";
  }
  char* short_argv[] = {tool_argv[0], tool_argv[1], tool_argv[2],
                        concat_strings("@", response_file, nullptr), nullptr};
  const char* failure = pex_run_for_outcome(PEX_FINAL_STAGE, tool_path, short_argv, environment,
                                            pipeline_name, outcome, error_code);
  remove_response_file(response_file);
  return failure;
}
