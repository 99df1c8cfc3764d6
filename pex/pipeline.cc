#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pex/pex.h"
#include "pex/platform.h"
#include "support/alloc.h"
#include "support/concat.h"
#include "support/saved_errno.h"
#include "support/temp_file.h"

namespace {

// Descriptors 0, 1 and 2 stand for the parent's own streams and are never
// closed on a stage's behalf.
void close_stage_in(pex_pipeline* pipeline, int in_fd) {
  if (in_fd > 0) pipeline->ops->close_descriptor(pipeline, in_fd);
}

void close_stage_out(pex_pipeline* pipeline, int out_fd) {
  if (out_fd != 1 && out_fd >= 0) pipeline->ops->close_descriptor(pipeline, out_fd);
}

void close_stage_err(pex_pipeline* pipeline, int err_fd) {
  if (err_fd != 2 && err_fd >= 0) pipeline->ops->close_descriptor(pipeline, err_fd);
}

template <typename T>
void append_entry(T*& array, int& count, T value) {
  array = static_cast<T*>(checked_realloc(array, (static_cast<size_t>(count) + 1) * sizeof(T)));
  array[count++] = value;
}

// Makes a non-final stage's file the next stage's input. The name goes into
// temp_files (a copy when it is the caller's) unless temporaries are kept.
void record_intermediate(pex_pipeline* pipeline, char* name, const char* output_name) {
  bool own_name = name == output_name;
  if ((pipeline->creation_flags & PEX_KEEP_TEMPS) == 0) {
    append_entry(pipeline->temp_files, pipeline->temp_file_count,
                 own_name ? checked_strdup(name) : name);
    pipeline->pending_in_owned = 0;
  } else {
    pipeline->pending_in_owned = own_name ? 0 : 1;
  }
  pipeline->pending_in_name = name;
}

int binary_bit(int flags, int bit) {
  return (flags & bit) != 0 ? 1 : 0;
}

}  // namespace

pex_pipeline* pex_create(int creation_flags, const char* program_label, const char* temp_prefix,
                         const pex_backend_ops* ops) {
  pex_pipeline* pipeline = static_cast<pex_pipeline*>(checked_alloc(sizeof(pex_pipeline)));
  pipeline->creation_flags = creation_flags;
  pipeline->program_label = program_label;
  pipeline->temp_prefix = temp_prefix;
  pipeline->next_in_fd = 0;
  pipeline->pending_in_name = nullptr;
  pipeline->pending_in_owned = 0;
  pipeline->stderr_read_fd = -1;
  pipeline->child_count = 0;
  pipeline->child_ids = nullptr;
  pipeline->child_statuses = nullptr;
  pipeline->child_times = nullptr;
  pipeline->reaped_count = 0;
  pipeline->input_stream = nullptr;
  pipeline->output_stream = nullptr;
  pipeline->error_stream = nullptr;
  pipeline->temp_file_count = 0;
  pipeline->temp_files = nullptr;
  pipeline->ops = ops;
  pipeline->backend_data = nullptr;
  return pipeline;
}

const char* pex_add_stage_env(pex_pipeline* pipeline, int flags, const char* program,
                              char* const* argv, char* const* environment, const char* output_name,
                              const char* errname, int* error_code) {
  const pex_backend_ops* ops = pipeline->ops;
  const char* message = nullptr;
  int in_fd = 0, out_fd = 1, err_fd = 2;  // the standard slots: nothing of the stage's
  // Every failure ends here: what the stage opened is closed, and only that.
  auto fail = [&](const char* failed, int code) {
    close_stage_in(pipeline, in_fd);
    close_stage_out(pipeline, out_fd);
    close_stage_err(pipeline, err_fd);
    *error_code = code;
    return failed;
  };

  if (pipeline->input_stream != nullptr) {
    // fclose releases the stream even when it fails, so it is forgotten
    // before the result is known and can never be closed twice.
    FILE* stream = pipeline->input_stream;
    pipeline->input_stream = nullptr;
    if (fclose(stream) != 0) return fail("closing pipeline input file", errno);
  }

  bool in_fd_from_next = false;
  if (pipeline->pending_in_name != nullptr) {
    if (pex_collect_children(pipeline, false, &message, error_code) == 0) return message;
    in_fd = ops->open_for_reading(pipeline, pipeline->pending_in_name,
                                  binary_bit(flags, PEX_BINARY_IN));
    if (in_fd < 0) return fail("open temporary file", errno);
    if (pipeline->pending_in_owned != 0) free(const_cast<char*>(pipeline->pending_in_name));
    pipeline->pending_in_owned = 0;
    pipeline->pending_in_name = nullptr;
  } else {
    in_fd = pipeline->next_in_fd;
    if (in_fd < 0) return fail("pipeline already complete", 0);
    in_fd_from_next = true;
  }

  if ((flags & PEX_FINAL_STAGE) != 0) {
    pipeline->next_in_fd = -1;
    if (output_name != nullptr) {
      char* joined = nullptr;
      const char* name = output_name;
      if ((flags & PEX_OUTNAME_SUFFIX) != 0) {
        joined = concat_strings(pipeline->temp_prefix, output_name, nullptr);
        name = joined;
      }
      out_fd = ops->open_for_writing(pipeline, name, binary_bit(flags, PEX_BINARY_OUT));
      int open_errno = errno;
      free(joined);
      if (out_fd < 0) return fail("open temporary output file", open_errno);
    }
  } else if ((pipeline->creation_flags & PEX_PREFER_PIPES) != 0) {
    int fds[2];
    if (ops->create_pipe(pipeline, fds, binary_bit(flags, PEX_BINARY_OUT)) < 0) {
      // next_in_fd still names the descriptor closed below; forget it so that
      // neither a later stage nor pex_destroy touches a reused number.
      if (in_fd_from_next && in_fd != 0) pipeline->next_in_fd = -1;
      return fail("pipe", errno);
    }
    pipeline->next_in_fd = fds[0];
    out_fd = fds[1];
  } else {
    char* name = pex_stage_output_name(pipeline->temp_prefix, flags, output_name);
    if (name == nullptr) return fail("could not create temporary file", 0);
    record_intermediate(pipeline, name, output_name);
    out_fd = ops->open_for_writing(pipeline, name, binary_bit(flags, PEX_BINARY_OUT));
    if (out_fd < 0) return fail("open temporary output file", errno);
  }

  if (errname != nullptr && (flags & PEX_STDERR_TO_PIPE) != 0)
    return fail("both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0);
  if (pipeline->stderr_read_fd != -1)
    return fail("PEX_STDERR_TO_PIPE used in the middle of pipeline", 0);
  if (errname != nullptr) {
    err_fd = ops->open_for_writing(pipeline, errname, binary_bit(flags, PEX_BINARY_ERR));
    if (err_fd < 0) return fail("open error file", errno);
  } else if ((flags & PEX_STDERR_TO_PIPE) != 0) {
    int fds[2];
    if (ops->create_pipe(pipeline, fds, binary_bit(flags, PEX_BINARY_ERR)) < 0)
      return fail("pipe", errno);
    pipeline->stderr_read_fd = fds[0];
    err_fd = fds[1];
  }

  int to_close = (pipeline->creation_flags & PEX_PREFER_PIPES) != 0 ? pipeline->next_in_fd : -1;
  pex_child_id child = ops->spawn_child(pipeline, flags, program, argv, environment, in_fd, out_fd,
                                        err_fd, to_close, &message, error_code);
  if (child < 0) return fail(message, *error_code);
  append_entry(pipeline->child_ids, pipeline->child_count, child);
  return nullptr;
}

const char* pex_add_stage(pex_pipeline* pipeline, int flags, const char* program, char* const* argv,
                          const char* output_name, const char* errname, int* error_code) {
  return pex_add_stage_env(pipeline, flags, program, argv, nullptr, output_name, errname,
                           error_code);
}

int pex_collect_children(pex_pipeline* pipeline, bool kill_first, const char** message,
                         int* error_code) {
  if (pipeline->reaped_count == pipeline->child_count) return 1;
  size_t count = static_cast<size_t>(pipeline->child_count);
  pipeline->child_statuses =
      static_cast<int*>(checked_realloc(pipeline->child_statuses, count * sizeof(int)));
  if ((pipeline->creation_flags & PEX_WANT_TIMES) != 0) {
    pipeline->child_times = static_cast<pex_child_times*>(
        checked_realloc(pipeline->child_times, count * sizeof(pex_child_times)));
  }
  int result = 1;
  for (int i = pipeline->reaped_count; i < pipeline->child_count; ++i) {
    int* status = &pipeline->child_statuses[i];
    pex_child_times* times = pipeline->child_times != nullptr ? &pipeline->child_times[i] : nullptr;
    if (pipeline->ops->wait_for_child(pipeline, pipeline->child_ids[i], status, times,
                                      kill_first ? 1 : 0, message, error_code) < 0) {
      result = 0;
      // -1 has 0x7f in its low bits without being a stop: it reads as neither
      // a normal exit nor a signal, so nobody mistakes it for success.
      *status = -1;
      if (times != nullptr) *times = pex_child_times{};
    }
  }
  pipeline->reaped_count = pipeline->child_count;
  return result;
}

char* pex_stage_output_name(const char* temp_prefix, int flags, const char* output_name) {
  if (output_name != nullptr) {
    if ((flags & PEX_OUTNAME_SUFFIX) == 0) return const_cast<char*>(output_name);
    if (temp_prefix == nullptr) return reserve_temp_file(output_name);
    return concat_strings(temp_prefix, output_name, nullptr);
  }
  if (temp_prefix == nullptr) return reserve_temp_file(nullptr);

  size_t length = strlen(temp_prefix);
  char* name = length >= 6 && strcmp(temp_prefix + length - 6, "XXXXXX") == 0
                   ? checked_strdup(temp_prefix)
                   : concat_strings(temp_prefix, "XXXXXX", nullptr);
  int fd = make_unique_file(name, 0);
  if (fd < 0) {
    saved_errno keep;
    free(name);
    return nullptr;
  }
  close(fd);
  return name;
}

void pex_destroy(pex_pipeline* pipeline) {
  const pex_backend_ops* ops = pipeline->ops;
  if (pipeline->next_in_fd > 0) ops->close_descriptor(pipeline, pipeline->next_in_fd);
  if (pipeline->stderr_read_fd > 0) ops->close_descriptor(pipeline, pipeline->stderr_read_fd);
  // An input file that no stage consumed still has its stream open.
  if (pipeline->input_stream != nullptr) fclose(pipeline->input_stream);
  if (pipeline->output_stream != nullptr) fclose(pipeline->output_stream);
  if (pipeline->error_stream != nullptr) fclose(pipeline->error_stream);

  // Every child not yet waited for is terminated and reaped, including those
  // started after an earlier collection, so none is left running or as a
  // zombie. Their times are of no interest any more.
  if (pipeline->reaped_count < pipeline->child_count) {
    pipeline->creation_flags &= ~PEX_WANT_TIMES;
    free(pipeline->child_times);
    pipeline->child_times = nullptr;
    const char* message = nullptr;
    int error_code = 0;
    pex_collect_children(pipeline, true, &message, &error_code);
  }

  if (pipeline->pending_in_owned != 0) free(const_cast<char*>(pipeline->pending_in_name));
  free(pipeline->child_ids);
  free(pipeline->child_statuses);
  free(pipeline->child_times);
  for (int i = 0; i < pipeline->temp_file_count; ++i) {
    pex_remove_file(pipeline->temp_files[i]);
    free(pipeline->temp_files[i]);
  }
  free(pipeline->temp_files);
  if (ops->release_backend != nullptr) ops->release_backend(pipeline);
  free(pipeline);
}
