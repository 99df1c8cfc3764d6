#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pex/pex.h"
#include "pex/platform.h"
#include "support/saved_errno.h"

namespace {

// Input can be prepared only before anything consumed the pipeline's input.
bool input_side_untouched(const pex_pipeline* pipeline) {
  return pipeline->child_count == 0 && pipeline->next_in_fd <= 0 &&
         pipeline->pending_in_name == nullptr;
}

bool collect_if_pending(pex_pipeline* pipeline) {
  if (pipeline->reaped_count >= pipeline->child_count) return true;
  const char* message = nullptr;
  int error_code = 0;
  return pex_collect_children(pipeline, false, &message, &error_code) != 0;
}

// Copies `entry_count` records, zero-filling those beyond the recorded ones.
template <typename T>
void copy_entries(const T* recorded, int recorded_count, int entry_count, T* out) {
  int copied = entry_count < recorded_count ? entry_count : recorded_count;
  for (int i = copied; i < entry_count; ++i) out[i] = T{};
  if (copied > 0) memcpy(out, recorded, static_cast<size_t>(copied) * sizeof(T));
}

}  // namespace

FILE* pex_open_input_file(pex_pipeline* pipeline, int flags, const char* input_name) {
  if (!input_side_untouched(pipeline)) {
    errno = EINVAL;
    return nullptr;
  }
  char* name = pex_stage_output_name(pipeline->temp_prefix, flags, input_name);
  if (name == nullptr) return nullptr;
  FILE* stream = pex_open_stream(name, (flags & PEX_BINARY_OUT) != 0 ? "wb" : "w");
  if (stream == nullptr) {
    saved_errno keep;
    if (name != input_name) free(name);
    return nullptr;
  }
  pipeline->input_stream = stream;
  pipeline->pending_in_name = name;
  pipeline->pending_in_owned = name != input_name ? 1 : 0;
  return stream;
}

FILE* pex_open_input_pipe(pex_pipeline* pipeline, int binary) {
  if (!input_side_untouched(pipeline) || (pipeline->creation_flags & PEX_PREFER_PIPES) == 0) {
    errno = EINVAL;
    return nullptr;
  }
  int mode = binary != 0 ? 1 : 0;
  int fds[2];
  if (pipeline->ops->create_pipe(pipeline, fds, mode) < 0) return nullptr;
  FILE* stream = pipeline->ops->stream_for_writing(pipeline, fds[1], mode);
  if (stream == nullptr) {
    saved_errno keep;
    pipeline->ops->close_descriptor(pipeline, fds[0]);
    pipeline->ops->close_descriptor(pipeline, fds[1]);
    return nullptr;
  }
  pipeline->next_in_fd = fds[0];
  return stream;
}

FILE* pex_output_stream(pex_pipeline* pipeline, int binary) {
  if (pipeline->pending_in_name != nullptr) {
    const char* message = nullptr;
    int error_code = 0;
    if (pex_collect_children(pipeline, false, &message, &error_code) == 0) {
      errno = error_code;
      return nullptr;
    }
    FILE* stream = pex_open_stream(pipeline->pending_in_name, binary != 0 ? "rb" : "r");
    saved_errno keep;
    pipeline->output_stream = stream;
    if (pipeline->pending_in_owned != 0) free(const_cast<char*>(pipeline->pending_in_name));
    pipeline->pending_in_owned = 0;
    pipeline->pending_in_name = nullptr;
    return stream;
  }
  if (pipeline->next_in_fd > 0) {
    FILE* stream = pipeline->ops->stream_for_reading(pipeline, pipeline->next_in_fd, binary);
    pipeline->output_stream = stream;
    pipeline->next_in_fd = -1;
    return stream;
  }
  return nullptr;
}

FILE* pex_error_stream(pex_pipeline* pipeline, int binary) {
  if (pipeline->stderr_read_fd <= 0) return nullptr;
  FILE* stream = pipeline->ops->stream_for_reading(pipeline, pipeline->stderr_read_fd, binary);
  pipeline->stderr_read_fd = -1;
  pipeline->error_stream = stream;
  return stream;
}

int pex_get_status(pex_pipeline* pipeline, int entry_count, int* statuses) {
  if (!collect_if_pending(pipeline)) return 0;
  copy_entries(pipeline->child_statuses, pipeline->child_count, entry_count, statuses);
  return 1;
}

int pex_get_timing(pex_pipeline* pipeline, int entry_count, pex_child_times* times) {
  if (!collect_if_pending(pipeline)) return 0;
  if (pipeline->child_times == nullptr) return 0;
  copy_entries(pipeline->child_times, pipeline->child_count, entry_count, times);
  return 1;
}

const char* pex_run_single(int flags, const char* program, char* const* argv,
                           const char* program_label, const char* output_name, const char* errname,
                           int* status_out, int* error_code) {
  return pex_run_single_env(flags, program, argv, nullptr, program_label, output_name, errname,
                            status_out, error_code);
}

const char* pex_run_single_env(int flags, const char* program, char* const* argv,
                               char* const* environment, const char* program_label,
                               const char* output_name, const char* errname, int* status_out,
                               int* error_code) {
  pex_pipeline* pipeline = pex_create_native(0, program_label, nullptr);
  const char* message = pex_add_stage_env(pipeline, flags, program, argv, environment, output_name,
                                          errname, error_code);
  if (message == nullptr && pex_get_status(pipeline, 1, status_out) == 0) {
    *error_code = 0;
    message = "pex_get_status failed";
  }
  pex_destroy(pipeline);
  return message;
}

const char* pex_run_for_outcome(int flags, const char* program, char* const* argv,
                                char* const* environment, const char* program_label,
                                pex_outcome* outcome, int* error_code) {
  int status = 0;
  const char* message = pex_run_single_env(flags, program, argv, environment, program_label,
                                           nullptr, nullptr, &status, error_code);
  *outcome = pex_outcome_of(status);
  return message;
}
