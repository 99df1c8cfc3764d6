#include "driver/wrapper.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/host.h"
#include "driver/response_file.h"
#include "driver/start_chain.h"
#include "driver/tool_signals.h"
#include "paths/fs.h"
#include "paths/relocate.h"
#include "paths/search_path.h"
#include "support/alloc.h"
#include "support/concat.h"
#include "support/diagnostics.h"

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

// The variables the wrapper reads. Start-up is a hot path, and each getenv
// walks the whole environment, so one pass finds them all, the first of each
// name as getenv would.
struct wrapper_environment {
  const char* exec_prefix = nullptr;
  const char* lookup_trace = nullptr;
  const char* path = nullptr;
  const char* chain = nullptr;
  size_t chain_slot = 0;
  size_t count = 0;
};

bool take_value(const char* entry, const char* name, size_t name_length, const char** value) {
  if (*value != nullptr || strncmp(entry, name, name_length) != 0 || entry[name_length] != '=')
    return false;
  *value = entry + name_length + 1;
  return true;
}

wrapper_environment read_environment(char* const* environment) {
  wrapper_environment values;
  if (environment == nullptr) return values;
  for (char* const* entry = environment; *entry != nullptr; ++entry, ++values.count) {
    const char* text = *entry;
    if (text[0] == 'P') {
      take_value(text, "PATH", 4, &values.path);
    } else if (text[0] == 'V' && strncmp(text, "VESK_", 5) == 0) {
      if (take_value(text, wrapper_chain_variable, sizeof wrapper_chain_variable - 1,
                     &values.chain)) {
        values.chain_slot = values.count;
      } else if (!take_value(text, "VESK_EXEC_PREFIX", 16, &values.exec_prefix)) {
        take_value(text, "VESK_LOOKUP_TRACE", 17, &values.lookup_trace);
      }
    }
  }
  return values;
}

// A tool that is this very program, under any link, would start itself again
// and again until the process limit.
bool is_this_program(const char* path) {
  unsigned long long tool_device = 0, tool_index = 0, own_device = 0, own_index = 0;
  return file_identity(path, &tool_device, &tool_index) &&
         running_program_identity(&own_device, &own_index) && tool_device == own_device &&
         tool_index == own_index;
}

// The wrapper's own failures, before there is a tool to run: one line that
// names what was sought or refused, and status 1.
[[noreturn]] void fail(const char* argv0, const char* what, const char* name,
                       const char* why = "") {
  print_error("%s: %s '%s'%s\n", name_for_messages(argv0), what, name, why);
  exit(1);
}

// The variables, with PATH as the system spells it and the trace turned on
// when asked for.
wrapper_environment take_environment(char* const* environment) {
  wrapper_environment env = read_environment(environment);
  env.path = path_value(env.path);
  // Shows where a moved or half-installed tree was searched, on request.
  if (env.lookup_trace != nullptr && env.lookup_trace[0] != '\0') set_lookup_trace(true);
  return env;
}

// Loads the search lists: the tree's two directories, relocated to where the
// program lies, then PATH.
void find_tree(const char* argv0, const wrapper_environment& env) {
  // Empty, it would make the program's path a bare name resolved wherever the
  // caller happens to stand.
  const char* self_path = env.exec_prefix != nullptr && env.exec_prefix[0] != '\0'
                              ? concat_strings(env.exec_prefix, own_program_name, nullptr)
                              : own_path(argv0);

  const char* configured_dirs[] = {install_exec_dir, install_libexec_dir};
  char* relocated[2];
  relocate_prefixes(self_path, install_bin_dir, configured_dirs, 2, relocated);
  exec_root = relocated[0] != nullptr ? relocated[0] : install_exec_dir;
  libexec_root = relocated[1] != nullptr ? relocated[1] : install_libexec_dir;

  // The four ".." climb from the versioned library directory back to the
  // installation prefix, where the target's own bin directory lives. The
  // constant parts are joined when the program is built.
  tool_root = concat_strings(exec_root, versioned_dir, versioned_to_target_dir, nullptr);
  load_search_dir(concat_strings(tool_root, "bin", nullptr), &toolchain_dirs);
  libexec_root = concat_strings(libexec_root, versioned_dir, nullptr);
  load_search_dir(libexec_root, &toolchain_dirs);
  if (env.path != nullptr) load_search_path(env.path, &path_dirs);
}

// The plugin, and the installation it tells (its file's identity through
// `device` and `index`), which must not be a wrapper's still waiting above.
char* find_plugin(const char* argv0, const char* chain, unsigned long long* device,
                  unsigned long long* index) {
  char* plugin_path = locate_file(&toolchain_dirs, plugin_file_name, R_OK);
  if (plugin_path == nullptr) fail(argv0, "Cannot find plugin", plugin_file_name);
  bool plugin_known = file_identity(plugin_path, device, index);
  if (chain != nullptr && plugin_known) {
    if (const char* file = file_that_led_back(chain, *device, *index))
      fail(argv0, "Cannot run", file, ": it leads back to a wrapper of this installation");
  }
  return plugin_path;
}

// The tool: in the tree, else on PATH under its prefixed name; never this program.
char* find_tool(const char* argv0) {
  char* tool_path = locate_file(&toolchain_dirs, wrapped_tool_name, X_OK);
  if (tool_path == nullptr) {
    char* prefixed_name = concat_strings(configured_target, "-", wrapped_tool_name, nullptr);
    tool_path = locate_file(&path_dirs, prefixed_name, X_OK);
    if (tool_path == nullptr) fail(argv0, "Cannot find binary", prefixed_name);
  }
  if (is_this_program(tool_path))
    fail(argv0, "Cannot run", tool_path, ": it is this program itself");
  return tool_path;
}

// Runs the tool with "--plugin <plugin>" ahead of the caller's arguments and
// the chain entry added to `environment`; its status becomes ours.
int run(int argc, char** argv, const char* tool_path, const char* plugin_path, char** environment,
        const wrapper_environment& env, unsigned long long plugin_device,
        unsigned long long plugin_index) {
  // A plugin path the tool's narrow command line cannot hold would name
  // another file or none. Its own name there matters less: the system starts
  // the file by its full name.
  const char* plugin_argument = path_for_tool(plugin_path);
  if (plugin_argument == nullptr) {
    print_error("Error running %s: %s\n", tool_path, "plugin path not in the code page");
    return 1;
  }
  const char* tool_argument = path_for_tool(tool_path);

  // Slots: tool, "--plugin", plugin, the caller's arguments, terminator, spare.
  size_t slot_count = static_cast<size_t>(argc > 0 ? argc : 0) + 4;
  char** tool_argv = static_cast<char**>(checked_calloc(slot_count, sizeof(char*)));
  tool_argv[0] = const_cast<char*>(tool_argument != nullptr ? tool_argument : tool_path);
  tool_argv[1] = const_cast<char*>("--plugin");
  tool_argv[2] = const_cast<char*>(plugin_argument);
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) tool_argv[i + 2] = argv[i];
    tool_argv[argc + 2] = nullptr;
  } else {
    tool_argv[3] = nullptr;
  }

  const char* pipeline_name = concat_strings("vesk-", tool_path, nullptr);
  char** tool_environment = hand_chain_to_tool(environment, env.count, env.chain, env.chain_slot,
                                               plugin_device, plugin_index, tool_path);
  pex_outcome outcome = {};
  int error_code = 0;
  pass_signals_to_tool();
  const char* failure =
      run_tool(tool_path, tool_argv, tool_environment, pipeline_name, &outcome, &error_code);
  if (failure != nullptr) {
    print_error("Error running %s: %s\n", tool_path, failure);
    return 1;
  }
  end_like_tool(outcome.signal);
  return exit_status_of(outcome, tool_path);
}

}  // namespace

int wrapper_main(int argc, char** argv) {
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  char** environment = process_environment();
  wrapper_environment env = take_environment(environment);
  find_tree(argv0, env);
  // The installation, told by its plugin file: sought in the chain, then added to it.
  unsigned long long plugin_device = 0, plugin_index = 0;
  char* plugin_path = find_plugin(argv0, env.chain, &plugin_device, &plugin_index);
  char* tool_path = find_tool(argv0);
  return run(argc, argv, tool_path, plugin_path, environment, env, plugin_device, plugin_index);
}

int exit_status_of(const pex_outcome& outcome, const char* tool_path) {
  if (outcome.signal != 0) {
    print_error("%s terminated with signal %d [%s]%s\n", tool_path, outcome.signal,
                signal_description(outcome.signal), outcome.core ? ", core dumped" : "");
    return 1;
  }
  if (!outcome.exited) return 1;
  if (const char* name = exception_description(outcome.code))
    print_error("%s terminated with exception 0x%08lX [%s]\n", tool_path, outcome.code, name);
  return static_cast<int>(outcome.code);
}
