#include "driver/wrapper.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/host.h"
#include "driver/tool_signals.h"
#include "paths/relocate.h"
#include "paths/search_path.h"
#include "support/alloc.h"
#include "support/concat.h"

namespace {

// Process-lifetime state; plain zero-initialised data, so nothing runs before main.
const char* exec_root;
const char* libexec_root;
const char* tool_root;
search_path toolchain_dirs;
search_path path_dirs;

// The name the lookup failures print. With no usable argv[0] (argc 0, which
// this kernel hands over as an empty string) the program's own name stands in.
const char* name_for_messages(const char* argv0) {
  return argv0 != nullptr && argv0[0] != '\0' ? argv0 : own_program_name;
}

}  // namespace

int wrapper_main(int argc, char** argv) {
  const char* argv0 = argc > 0 ? argv[0] : nullptr;

  // Shows where a moved or half-installed tree was searched, on request.
  if (const char* trace = getenv("VESK_LOOKUP_TRACE"); trace != nullptr && trace[0] != '\0')
    set_lookup_trace(true);

  const char* self_path = own_path(argv0);
  if (const char* prefix = getenv("VESK_EXEC_PREFIX"); prefix != nullptr)
    self_path = concat_strings(prefix, own_program_name, nullptr);

  exec_root = relocate_prefix(self_path, install_bin_dir, install_exec_dir);
  if (exec_root == nullptr) exec_root = install_exec_dir;
  libexec_root = relocate_prefix(self_path, install_bin_dir, install_libexec_dir);
  if (libexec_root == nullptr) libexec_root = install_libexec_dir;

  // The four ".." climb from the versioned library directory back to the
  // installation prefix, where the target's own bin directory lives.
  tool_root = concat_strings("../../../../", configured_target, "/", nullptr);
  tool_root = concat_strings(exec_root, configured_target, "/", configured_version, "/", tool_root,
                             nullptr);
  load_search_path(concat_strings(tool_root, "bin", nullptr), &toolchain_dirs);
  libexec_root =
      concat_strings(libexec_root, configured_target, "/", configured_version, "/", nullptr);
  load_search_path(libexec_root, &toolchain_dirs);
  load_search_path_from_env("PATH", &path_dirs);

  char* plugin_path = locate_file(&toolchain_dirs, plugin_file_name, R_OK);
  if (plugin_path == nullptr) {
    fprintf(stderr, "%s: Cannot find plugin '%s'\n", name_for_messages(argv0), plugin_file_name);
    exit(1);
  }

  char* tool_path = locate_file(&toolchain_dirs, wrapped_tool_name, X_OK);
  if (tool_path == nullptr) {
    char* prefixed_name = concat_strings(configured_target, "-", wrapped_tool_name, nullptr);
    tool_path = locate_file(&path_dirs, prefixed_name, X_OK);
    if (tool_path == nullptr) {
      fprintf(stderr, "%s: Cannot find binary '%s'\n", name_for_messages(argv0), prefixed_name);
      exit(1);
    }
  }
  if (is_this_program(tool_path)) {
    fprintf(stderr, "%s: Cannot run '%s': it is this program itself\n", name_for_messages(argv0),
            tool_path);
    exit(1);
  }

  // Slots: tool, "--plugin", plugin, the caller's arguments, terminator, spare.
  size_t slot_count = static_cast<size_t>(argc > 0 ? argc : 0) + 4;
  char** tool_argv = static_cast<char**>(checked_calloc(slot_count, sizeof(char*)));
  tool_argv[0] = tool_path;
  tool_argv[1] = const_cast<char*>("--plugin");
  tool_argv[2] = plugin_path;
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) tool_argv[i + 2] = argv[i];
    tool_argv[argc + 2] = nullptr;
  } else {
    tool_argv[3] = nullptr;
  }

  const char* pipeline_name = concat_strings("vesk-", tool_path, nullptr);
  int status = 0;
  int error_code = 0;
  pass_signals_to_tool();
  const char* failure = run_tool(tool_path, tool_argv, pipeline_name, &status, &error_code);
  if (failure != nullptr) {
    fprintf(stderr, "Error running %s: %s\n", tool_path, failure);
    return 1;
  }
  end_like_tool(status);
  return exit_status_of(status, tool_path);
}
