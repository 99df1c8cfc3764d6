// The child-process pipeline engine: programs started as the stages of a
// pipeline, their standard streams wired to the parent's streams, files, pipes
// or intermediate files, over a replaceable table of operating-system calls.
// Failures are returned as constant messages (never freed) plus an errno value.
#pragma once

#include <cstdint>
#include <cstdio>

// Stage flags, given with each stage.
constexpr int PEX_FINAL_STAGE = 0x01;
constexpr int PEX_PATH_SEARCH = 0x02;
constexpr int PEX_OUTNAME_SUFFIX = 0x04;
constexpr int PEX_MERGE_STDERR = 0x08;
constexpr int PEX_BINARY_IN = 0x10;
constexpr int PEX_BINARY_OUT = 0x20;
constexpr int PEX_STDERR_TO_PIPE = 0x40;
constexpr int PEX_BINARY_ERR = 0x80;

// Creation flags, given to pex_create.
constexpr int PEX_WANT_TIMES = 0x01;
constexpr int PEX_PREFER_PIPES = 0x02;
constexpr int PEX_KEEP_TEMPS = 0x04;

struct pex_backend_ops;

// A child as its back end names it, opaque to everyone else: a process id on
// POSIX, a process handle on Windows. Negative for none.
using pex_child_id = intptr_t;

// One child's CPU times.
struct pex_child_times {
  int32_t user_secs;
  int32_t user_micros;
  int32_t system_secs;
  int32_t system_micros;
};

// The state of one pipeline. The engine owns the arrays, the owned pending name
// and the recorded streams, and borrows program_label and temp_prefix.
struct pex_pipeline {
  int creation_flags;
  const char* program_label;
  const char* temp_prefix;
  int next_in_fd;
  const char* pending_in_name;
  int pending_in_owned;
  int stderr_read_fd;
  int child_count;
  pex_child_id* child_ids;
  int* child_statuses;
  pex_child_times* child_times;
  int reaped_count;
  FILE* input_stream;
  FILE* output_stream;
  FILE* error_stream;
  int temp_file_count;
  char** temp_files;
  const pex_backend_ops* ops;
  void* backend_data;
};

// The operating-system layer. Slots 1 to 8 are required, and release_backend
// may be null. Only spawn_child and wait_for_child store a message and an
// error code. The others report -1 or null with errno set. The descriptors the
// slots hand out lie above 2, because the engine takes 0, 1 and 2 for the
// caller's own.
struct pex_backend_ops {
  int (*open_for_reading)(pex_pipeline* pipeline, const char* name, int binary);
  int (*open_for_writing)(pex_pipeline* pipeline, const char* name, int binary);
  // On success the parent's copies of in_fd, out_fd and err_fd above 2 are closed.
  pex_child_id (*spawn_child)(pex_pipeline* pipeline, int flags, const char* program,
                              char* const* argv, char* const* environment, int in_fd, int out_fd,
                              int err_fd, int to_close, const char** message, int* error_code);
  int (*close_descriptor)(pex_pipeline* pipeline, int fd);
  int (*wait_for_child)(pex_pipeline* pipeline, pex_child_id child, int* status,
                        pex_child_times* times, int kill_first, const char** message,
                        int* error_code);
  int (*create_pipe)(pex_pipeline* pipeline, int* fds, int binary);
  FILE* (*stream_for_reading)(pex_pipeline* pipeline, int fd, int binary);
  FILE* (*stream_for_writing)(pex_pipeline* pipeline, int fd, int binary);
  void (*release_backend)(pex_pipeline* pipeline);
};

// Never returns null. program_label and temp_prefix (may be null) must outlive
// the pipeline.
pex_pipeline* pex_create(int creation_flags, const char* program_label, const char* temp_prefix,
                         const pex_backend_ops* ops);

// Starts program as the next stage. Returns null on success, or else a
// constant message with *error_code set (0 when no system call failed). A null
// environment passes the parent's own.
const char* pex_add_stage_env(pex_pipeline* pipeline, int flags, const char* program,
                              char* const* argv, char* const* environment, const char* output_name,
                              const char* errname, int* error_code);
const char* pex_add_stage(pex_pipeline* pipeline, int flags, const char* program, char* const* argv,
                          const char* output_name, const char* errname, int* error_code);

// Waits, in start order, for every child not yet waited for. Returns 1 when
// every wait succeeded, or else 0 with the last failure's message and code
// stored. A child whose wait failed keeps the status -1 (no normal exit) and
// zero times.
int pex_collect_children(pex_pipeline* pipeline, bool kill_first, const char** message,
                         int* error_code);

// The name a non-final stage writes to: output_name itself, or a fresh string
// the caller frees. Null (errno from mkstemps) when no unique file can be made.
char* pex_stage_output_name(const char* temp_prefix, int flags, const char* output_name);

// Closes what the pipeline holds, terminates and reaps children never waited
// for, deletes its intermediate files and frees it.
void pex_destroy(pex_pipeline* pipeline);

// Streams around the stages. The pipeline keeps and closes the streams of
// pex_open_input_file, pex_output_stream and pex_error_stream; the caller
// closes the one of pex_open_input_pipe once it has written all input.
FILE* pex_open_input_file(pex_pipeline* pipeline, int flags, const char* input_name);
FILE* pex_open_input_pipe(pex_pipeline* pipeline, int binary);
FILE* pex_output_stream(pex_pipeline* pipeline, int binary);
FILE* pex_error_stream(pex_pipeline* pipeline, int binary);

// Copy entry_count wait statuses or time records (zeros beyond child_count),
// waiting first for children not yet waited for. 1 on success, 0 on failure.
int pex_get_status(pex_pipeline* pipeline, int entry_count, int* statuses);
int pex_get_timing(pex_pipeline* pipeline, int entry_count, pex_child_times* times);

// How a child ended, the same on every platform: by exit with `code` (8 bits
// on POSIX, all 32 on Windows, where an exception's code is one too), or by
// `signal`, with a core or not. Neither (a stopped child, a stray core bit):
// exited false and signal 0.
struct pex_outcome {
  bool exited;
  unsigned long code;
  int signal;
  bool core;
};

// What a status from pex_get_status or pex_run_single means. Only the
// platform's back end reads it.
pex_outcome pex_outcome_of(int status);

// Runs one program to its end on the platform's back end. Returns null with
// *status_out set to its wait status (on Windows its exit code), or else a
// constant message with *error_code set.
const char* pex_run_single(int flags, const char* program, char* const* argv,
                           const char* program_label, const char* output_name, const char* errname,
                           int* status_out, int* error_code);
// The same with the program's environment given. A null environment passes the
// parent's own.
const char* pex_run_single_env(int flags, const char* program, char* const* argv,
                               char* const* environment, const char* program_label,
                               const char* output_name, const char* errname, int* status_out,
                               int* error_code);
// The same with the parent's standard streams, how the program ended given
// as its outcome.
const char* pex_run_for_outcome(int flags, const char* program, char* const* argv,
                                char* const* environment, const char* program_label,
                                pex_outcome* outcome, int* error_code);
