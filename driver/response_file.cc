#include "driver/response_file.h"

#include <cerrno>
#include <cstring>

#include "driver/host.h"
#include "support/concat.h"

bool write_response_line(FILE* out, const char* bytes) {
  // An empty line would be no argument at all.
  if (bytes[0] == '\0' && fputs("''", out) == EOF) return false;
  for (const char* c = bytes; *c != '\0'; ++c) {
    if (strchr(" \t\n\r\v\f'\"\\", *c) != nullptr && fputc('\\', out) == EOF) return false;
    if (fputc(*c, out) == EOF) return false;
  }
  return fputc('\n', out) != EOF;
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
