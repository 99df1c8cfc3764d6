// The engine over a fake back end that records its calls and fails on
// request: the failure paths that a real system cannot produce on demand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <numeric>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pex/pex.h"
#include "pex/test_support.h"

namespace {

using pex_testing::exists;

// The one call the fake fails, with fail_errno. Pipe failures count the pipes
// made since `pipes` was last cleared.
enum failing {
  fail_nothing,
  fail_open_read,
  fail_open_write,
  fail_err_file,  // opening a name that ends in /err.txt
  fail_out_pipe,  // the first pipe
  fail_err_pipe,  // the second pipe
  fail_spawn,
  fail_wait
};

struct fake_backend {
  failing fails = fail_nothing;
  int fail_errno = 0;
  size_t calls = 0;  // opens, pipes and spawns
  size_t pipes = 0;
  std::vector<int> closed;
  int next_fd = 10;
  pid_t next_pid = 500;
  int releases = 0;
  std::vector<std::string> waits;  // "pid kill_first timed"
  std::vector<int> to_close;       // what each spawn was to keep from its child
  int close_errno = 0;             // when set, every close fails with it
};

fake_backend& fake_of(pex_pipeline* pipeline) {
  return *static_cast<fake_backend*>(pipeline->backend_data);
}

int fail_with(int error) {
  errno = error;
  return -1;
}

int fake_open_for_reading(pex_pipeline* pipeline, const char*, int) {
  fake_backend& fake = fake_of(pipeline);
  ++fake.calls;
  return fake.fails == fail_open_read ? fail_with(fake.fail_errno) : fake.next_fd++;
}

int fake_open_for_writing(pex_pipeline* pipeline, const char* name, int) {
  fake_backend& fake = fake_of(pipeline);
  ++fake.calls;
  if (fake.fails == fail_open_write ||
      (fake.fails == fail_err_file && std::string_view(name).ends_with("/err.txt")))
    return fail_with(fake.fail_errno);
  return fake.next_fd++;
}

// Like the real back end, a successful spawn closes the parent's copies above 2.
pex_child_id fake_spawn_child(pex_pipeline* pipeline, int, const char*, char* const*, char* const*,
                              int in_fd, int out_fd, int err_fd, int to_close, const char** message,
                              int* error_code) {
  fake_backend& fake = fake_of(pipeline);
  ++fake.calls;
  fake.to_close.push_back(to_close);
  if (fake.fails == fail_spawn) {
    *message = "spawn";
    *error_code = fake.fail_errno;
    return -1;
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd > 2) fake.closed.push_back(fd);
  return fake.next_pid++;
}

int fake_close_descriptor(pex_pipeline* pipeline, int fd) {
  fake_backend& fake = fake_of(pipeline);
  fake.closed.push_back(fd);
  return fake.close_errno != 0 ? fail_with(fake.close_errno) : 0;
}

int fake_wait_for_child(pex_pipeline* pipeline, pex_child_id pid, int* status,
                        pex_child_times* times, int kill_first, const char** message,
                        int* error_code) {
  fake_backend& fake = fake_of(pipeline);
  fake.waits.push_back(std::to_string(pid) + " " + std::to_string(kill_first) + " " +
                       std::to_string(times != nullptr));
  if (fake.fails == fail_wait) {
    // A failed wait leaves garbage behind; the engine must not trust it.
    *status = 0;
    if (times != nullptr) *times = pex_child_times{1, 2, 3, 4};
    *message = "wait";
    *error_code = fake.fail_errno;
    return -1;
  }
  *status = (pid - 499) << 8;
  if (times != nullptr) *times = pex_child_times{static_cast<int32_t>(pid), 1, 0, 2};
  return 0;
}

int fake_create_pipe(pex_pipeline* pipeline, int* fds, int) {
  fake_backend& fake = fake_of(pipeline);
  ++fake.calls;
  ++fake.pipes;
  if ((fake.fails == fail_out_pipe && fake.pipes == 1) ||
      (fake.fails == fail_err_pipe && fake.pipes == 2))
    return fail_with(fake.fail_errno);
  fds[0] = fake.next_fd++;
  fds[1] = fake.next_fd++;
  return 0;
}

FILE* fake_stream(pex_pipeline*, int, int) {
  errno = EMFILE;
  return nullptr;
}

void fake_release_backend(pex_pipeline* pipeline) {
  ++fake_of(pipeline).releases;
}

constexpr pex_backend_ops fake_ops = {
    fake_open_for_reading, fake_open_for_writing, fake_spawn_child,
    fake_close_descriptor, fake_wait_for_child,   fake_create_pipe,
    fake_stream,           fake_stream,           fake_release_backend,
};

std::vector<int32_t> fields(const pex_child_times* times, int count) {
  std::vector<int32_t> all;
  for (const pex_child_times& t : std::span(times, static_cast<size_t>(count)))
    all.insert(all.end(), {t.user_secs, t.user_micros, t.system_secs, t.system_micros});
  return all;
}

char* const argv_true[] = {const_cast<char*>("true"), nullptr};

class FakePipelineTest : public testing::Test {
 protected:
  pex_pipeline* make(int creation_flags, const char* temp_prefix = nullptr) {
    pex_pipeline* pipeline = pex_create(creation_flags, "fake", temp_prefix, &fake_ops);
    pipeline->backend_data = &fake_;
    return pipeline;
  }
  std::string path(const char* name) const { return dir_.path(name); }
  // The full name, kept alive as long as the test: the pipeline borrows it.
  const char* full(const char* name) {
    return name != nullptr ? names_.emplace_back(path(name)).c_str() : nullptr;
  }
  const char* start(pex_pipeline* p, int flags, const char* output = nullptr,
                    const char* errname = nullptr, int* code = nullptr) {
    int ignored = -7;
    return pex_add_stage(p, flags, "prog", argv_true, full(output), full(errname),
                         code != nullptr ? code : &ignored);
  }

  temp_dir dir_;
  std::deque<std::string> names_;
  fake_backend fake_;
};

// Every row of the stage-start failure table: the message, the error code
// (never clobbered by a close that fails after it), what the failing start
// closed and what stays recorded. Afterwards pex_destroy has closed every
// descriptor the back end handed out exactly once, and never 0, 1 or 2.
TEST_F(FakePipelineTest, StageStartFailures) {
  // A field a row leaves out has its most usual value.
  struct Case {
    const char* name;
    int creation_flags = 0;
    int before = 0;  // flags of a stage started before; none, or broken_input
    const char* first_output = nullptr;
    failing fails = fail_nothing;  // with `code` as its errno
    int flags = 0;
    const char* output = nullptr;
    const char* errname = nullptr;
    const char* message;
    int code = 0;
    const char* closed = "";
    size_t calls = 0;  // opens, pipes and spawns of the failing start
    int next_in_fd = -1;
    int stderr_read_fd = -1;
    const char* pending = nullptr;
    int temp_files = 0;
  };
  constexpr int none = -1, broken_input = -2;  // an input file whose stream cannot be closed
  constexpr int pipes = PEX_PREFER_PIPES, final = PEX_FINAL_STAGE, err_pipe = PEX_STDERR_TO_PIPE;
  // The formatter would give each field of a row a line of its own.
  // clang-format off
  const Case cases[] = {
      // fclose releases the stream even when it fails: it is never closed again.
      {.name = "input file cannot be closed", .before = broken_input, .flags = final,
       .message = "closing pipeline input file", .code = EBADF, .next_in_fd = 0,
       .pending = "input.txt"},
      {.name = "wait fails before the pending input", .first_output = "stage1.out",
       .fails = fail_wait, .flags = final, .message = "wait", .code = ECHILD, .next_in_fd = 0,
       .pending = "stage1.out", .temp_files = 1},
      {.name = "pending input cannot be opened", .first_output = "stage1.out",
       .fails = fail_open_read, .flags = final, .message = "open temporary file", .code = ENOENT,
       .calls = 1, .next_in_fd = 0, .pending = "stage1.out", .temp_files = 1},
      {.name = "stage after the final one", .before = final,
       .message = "pipeline already complete"},
      {.name = "final output file cannot be opened, first stage", .before = none,
       .fails = fail_open_write, .flags = final, .output = "final.out",
       .message = "open temporary output file", .code = EACCES, .calls = 1},
      {.name = "final output file cannot be opened, reading a pipe", .creation_flags = pipes,
       .fails = fail_open_write, .flags = final, .output = "final.out",
       .message = "open temporary output file", .code = EACCES, .closed = "10", .calls = 1},
      {.name = "intermediate output file cannot be opened", .before = none,
       .fails = fail_open_write, .output = "stage1.out", .message = "open temporary output file",
       .code = EACCES, .calls = 1, .next_in_fd = 0, .pending = "stage1.out", .temp_files = 1},
      {.name = "intermediate output file cannot be opened, reading a file",
       .first_output = "stage1.out", .fails = fail_open_write, .output = "stage2.out",
       .message = "open temporary output file", .code = EACCES, .closed = "11", .calls = 2,
       .next_in_fd = 0, .pending = "stage2.out", .temp_files = 2},
      // The closed read end is forgotten, so nothing closes it again.
      {.name = "output pipe cannot be made", .creation_flags = pipes, .fails = fail_out_pipe,
       .message = "pipe", .code = EMFILE, .closed = "10", .calls = 1},
      {.name = "output pipe cannot be made, first stage", .creation_flags = pipes, .before = none,
       .fails = fail_out_pipe, .message = "pipe", .code = EMFILE, .calls = 1, .next_in_fd = 0},
      {.name = "no unique intermediate file", .before = none,
       .message = "could not create temporary file", .next_in_fd = 0},
      // Checked before the error pipe that already exists.
      {.name = "errname with the error pipe", .creation_flags = pipes, .before = err_pipe,
       .flags = err_pipe, .errname = "err.txt",
       .message = "both ERRNAME and PEX_STDERR_TO_PIPE specified.", .closed = "10 15", .calls = 1,
       .next_in_fd = 14, .stderr_read_fd = 12},
      {.name = "error pipe before another stage", .creation_flags = pipes, .before = err_pipe,
       .flags = final, .output = "final.out",
       .message = "PEX_STDERR_TO_PIPE used in the middle of pipeline", .closed = "10 14",
       .calls = 1, .stderr_read_fd = 12},
      // The error file is never opened.
      {.name = "error pipe before another stage with errname", .before = err_pipe,
       .first_output = "stage1.out", .output = "stage2.out", .errname = "err.txt",
       .message = "PEX_STDERR_TO_PIPE used in the middle of pipeline", .closed = "13 14",
       .calls = 2, .next_in_fd = 0, .stderr_read_fd = 11, .pending = "stage2.out", .temp_files = 2},
      {.name = "error file cannot be opened", .before = none, .fails = fail_err_file,
       .flags = final, .output = "final.out", .errname = "err.txt", .message = "open error file",
       .code = EROFS, .closed = "10", .calls = 2},
      {.name = "error pipe cannot be made", .creation_flags = pipes, .before = none,
       .fails = fail_err_pipe, .flags = err_pipe, .message = "pipe", .code = ENFILE, .closed = "11",
       .calls = 2, .next_in_fd = 10},
      {.name = "child cannot be started", .creation_flags = pipes, .fails = fail_spawn,
       .flags = err_pipe, .message = "spawn", .code = ENOEXEC, .closed = "10 13 15", .calls = 3,
       .next_in_fd = 12, .stderr_read_fd = 14},
      {.name = "child cannot be started, standard descriptors", .before = none, .fails = fail_spawn,
       .flags = final, .message = "spawn", .code = E2BIG, .calls = 1},
  };
  // clang-format on
  // No file can be made under this prefix; only a stage that needs a fresh
  // intermediate name notices.
  const std::string missing_prefix = path("missing/job"), input = path("input.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_ = fake_backend{};
    pex_pipeline* p = make(c.creation_flags, missing_prefix.c_str());
    if (c.before == broken_input) {
      FILE* stream = pex_open_input_file(p, 0, input.c_str());
      ASSERT_NE(stream, nullptr);
      fputs("data", stream);
      close(fileno(stream));  // the flush inside fclose now fails with EBADF
    }
    if (c.before >= 0) {
      ASSERT_EQ(start(p, c.before, c.first_output), nullptr);
    }
    fake_.fails = c.fails;
    fake_.fail_errno = c.code;
    fake_.close_errno = EIO;
    fake_.calls = fake_.pipes = 0;
    size_t closed_before = fake_.closed.size();
    int children = p->child_count, code = -7;
    EXPECT_STREQ(start(p, c.flags, c.output, c.errname, &code), c.message);
    EXPECT_EQ(code, c.code);
    std::string closed;
    for (size_t i = closed_before; i < fake_.closed.size(); ++i)
      closed += (closed.empty() ? "" : " ") + std::to_string(fake_.closed[i]);
    EXPECT_EQ(closed, c.closed);
    EXPECT_EQ(fake_.calls, c.calls);
    EXPECT_EQ(p->child_count, children);
    EXPECT_EQ(p->next_in_fd, c.next_in_fd);
    EXPECT_EQ(p->stderr_read_fd, c.stderr_read_fd);
    EXPECT_EQ(p->pending_in_name != nullptr ? p->pending_in_name : "",
              c.pending != nullptr ? path(c.pending) : "");
    EXPECT_EQ(p->input_stream, nullptr);
    EXPECT_EQ(p->temp_file_count, c.temp_files);

    fake_.fails = fail_nothing;
    pex_destroy(p);
    std::vector<int> handed_out(static_cast<size_t>(fake_.next_fd - 10));
    std::iota(handed_out.begin(), handed_out.end(), 10);
    std::sort(fake_.closed.begin(), fake_.closed.end());
    EXPECT_EQ(fake_.closed, handed_out);
    EXPECT_EQ(fake_.releases, 1);
  }
}

// A failed wait is not repeated, reads as neither an exit nor a signal, and
// its times are zeros; entries beyond the children are zeros as well, and
// nothing is written past the entries asked for.
TEST_F(FakePipelineTest, FailedWaitNeverReadsAsSuccess) {
  pex_pipeline* p = make(PEX_WANT_TIMES);
  ASSERT_EQ(start(p, 0, "stage1.out"), nullptr);
  fake_.fails = fail_wait;
  fake_.fail_errno = ECHILD;
  EXPECT_STREQ(start(p, PEX_FINAL_STAGE), "wait");
  fake_.fails = fail_nothing;
  EXPECT_EQ(start(p, PEX_FINAL_STAGE), nullptr);
  int statuses[4] = {7, 7, 7, 7};
  ASSERT_EQ(pex_get_status(p, 3, statuses), 1);
  EXPECT_EQ(std::vector<int>(statuses, statuses + 4), (std::vector<int>{-1, 0x200, 0, 7}));
  int first[2] = {7, 7};
  ASSERT_EQ(pex_get_status(p, 1, first), 1);
  EXPECT_EQ(std::vector<int>(first, first + 2), (std::vector<int>{-1, 7}));
  pex_child_times times[4];
  memset(times, 0x55, sizeof times);
  ASSERT_EQ(pex_get_timing(p, 3, times), 1);
  EXPECT_EQ(fields(times, 4),
            (std::vector<int32_t>{0, 0, 0, 0, 501, 1, 0, 2, 0, 0, 0, 0, 0x55555555, 0x55555555,
                                  0x55555555, 0x55555555}));
  pex_destroy(p);
  EXPECT_EQ(fake_.waits, (std::vector<std::string>{"500 0 1", "501 0 1"}));

  // pex_get_status reports the failure (leaving the caller's array alone)
  // once; pex_get_timing fails when no times were asked for.
  fake_ = fake_backend{};
  p = make(0);
  ASSERT_EQ(start(p, PEX_FINAL_STAGE), nullptr);
  fake_.fails = fail_wait;
  fake_.fail_errno = EINVAL;
  int status = 12345;
  EXPECT_EQ(pex_get_status(p, 1, &status), 0);
  EXPECT_EQ(status, 12345);
  EXPECT_EQ(pex_get_timing(p, 1, times), 0);
  pex_destroy(p);
  EXPECT_EQ(fake_.waits, std::vector<std::string>{"500 0 0"});
}

// The first child is waited for normally; the second, started after that
// collection, is killed and reaped without times.
TEST_F(FakePipelineTest, DestroyTerminatesEveryChildNeverWaitedFor) {
  pex_pipeline* p = make(PEX_WANT_TIMES);
  ASSERT_EQ(start(p, 0, "stage1.out"), nullptr);
  ASSERT_EQ(start(p, PEX_FINAL_STAGE), nullptr);
  pex_destroy(p);
  EXPECT_EQ(fake_.waits, (std::vector<std::string>{"500 0 1", "501 1 0"}));
}

// A pipe-mode stage keeps the read end of its own output from its child: a
// writer that held it would never hear that its reader is gone.
TEST_F(FakePipelineTest, EachStageKeepsItsReadEndFromItsChild) {
  pex_pipeline* p = make(PEX_PREFER_PIPES);
  ASSERT_EQ(start(p, 0), nullptr);
  ASSERT_EQ(start(p, 0), nullptr);
  ASSERT_EQ(start(p, PEX_FINAL_STAGE), nullptr);
  pex_destroy(p);
  EXPECT_EQ(fake_.to_close, (std::vector<int>{10, 12, -1}));
}

// Streams that cannot be made give back the failing call's errno (not that of
// a close after it) and leave nothing recorded or open.
TEST_F(FakePipelineTest, StreamsThatCannotBeMade) {
  pex_pipeline* p = make(PEX_PREFER_PIPES);
  fake_.close_errno = EIO;
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(p, 0), nullptr);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_EQ(fake_.closed, (std::vector<int>{10, 11}));
  EXPECT_EQ(p->next_in_fd, 0);
  pex_destroy(p);

  // A name made for the input file is released (the sanitizers see a leak),
  // the caller's own never.
  std::string prefix = path("missing/in");
  p = make(0, prefix.c_str());
  errno = 0;
  EXPECT_EQ(pex_open_input_file(p, PEX_OUTNAME_SUFFIX, ".txt"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(pex_open_input_file(p, 0, full("missing/in.txt")), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(p->pending_in_name, nullptr);
  pex_destroy(p);

  // The last stage's file, which the fake never makes: a failed wait's errno,
  // then the open's, and the name counts as taken.
  fake_ = fake_backend{};
  p = make(0);
  ASSERT_EQ(start(p, 0, "stage1.out"), nullptr);
  fake_.fails = fail_wait;
  fake_.fail_errno = ECHILD;
  errno = 0;
  EXPECT_EQ(pex_output_stream(p, 0), nullptr);
  EXPECT_EQ(errno, ECHILD);
  fake_.fails = fail_nothing;
  errno = 0;
  EXPECT_EQ(pex_output_stream(p, 0), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(p->pending_in_name, nullptr);
  pex_destroy(p);
}

// Which names an intermediate file gets, and which of them pex_destroy deletes.
TEST_F(FakePipelineTest, IntermediateNamesAreRecordedAndDeleted) {
  struct Case {
    int creation_flags;
    const char* output_name;
    int pending_owned;
  };
  for (const Case& c : {Case{0, "stage1.out", 0}, Case{PEX_KEEP_TEMPS, "stage1.out", 0},
                        Case{0, nullptr, 0}, Case{PEX_KEEP_TEMPS, nullptr, 1}}) {
    SCOPED_TRACE(std::to_string(c.creation_flags) + (c.output_name ? c.output_name : "(null)"));
    std::string prefix = path("job");  // names made here are unique; StageOutputNames checks them
    pex_pipeline* p = make(c.creation_flags, prefix.c_str());
    ASSERT_EQ(start(p, 0, c.output_name), nullptr);
    std::string name = p->pending_in_name;
    if (c.output_name != nullptr) {
      EXPECT_EQ(p->pending_in_name, names_.back().c_str());  // the caller's string, not a copy
      fclose(fopen(name.c_str(), "w"));                      // stands for the stage's output
    }
    EXPECT_EQ(p->pending_in_owned, c.pending_owned);
    EXPECT_TRUE(exists(name));
    pex_destroy(p);
    EXPECT_EQ(exists(name), (c.creation_flags & PEX_KEEP_TEMPS) != 0);
    remove(name.c_str());
  }
}

// Names made from a prefix or in the temporary directory leave no descriptor
// open; the stages after them would inherit it.
TEST_F(FakePipelineTest, StageOutputNames) {
  const std::set<int> fds_before = pex_testing::open_fds();
  struct Case {
    const char* prefix;  // relative to the test directory, or null
    int flags;
    const char* output_name;
    std::string expected_start;
    size_t unique_chars;  // characters after expected_start, made unique
  };
  std::string d = dir_.name + "/";
  const Case cases[] = {
      {"job", 0, "stage1.out", "stage1.out", 0},
      {nullptr, 0, "stage1.out", "stage1.out", 0},
      {"job", PEX_OUTNAME_SUFFIX, ".i", d + "job.i", 0},
      {"job", 0, nullptr, d + "job", 6},
      {"jobXXXXXX", PEX_OUTNAME_SUFFIX, nullptr, d + "job", 6},
      {"XXXXX", 0, nullptr, d + "XXXXX", 6},
  };
  for (const Case& c : cases) {
    std::string prefix = c.prefix != nullptr ? d + c.prefix : "";
    SCOPED_TRACE(prefix);
    char* name = pex_stage_output_name(c.prefix != nullptr ? prefix.c_str() : nullptr, c.flags,
                                       c.output_name);
    ASSERT_NE(name, nullptr);
    std::string got = name;
    EXPECT_EQ(got.compare(0, c.expected_start.size(), c.expected_start), 0) << got;
    EXPECT_EQ(got.size(), c.expected_start.size() + c.unique_chars) << got;
    if (c.unique_chars > 0) {
      EXPECT_NE(got.substr(got.size() - 6), "XXXXXX");
      EXPECT_TRUE(exists(got));
    }
    // The caller's own name comes back as is, not as a copy.
    bool is_own = name == c.output_name;
    EXPECT_EQ(is_own, c.flags == 0 && c.output_name != nullptr);
    if (!is_own) free(name);
    remove(got.c_str());
  }

  // A prefix that is the six X's alone is a template as well (made in the
  // working directory, and removed at once).
  char* made = pex_stage_output_name("XXXXXX", 0, nullptr);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(strlen(made), 6u);
  remove(made);
  free(made);

  // No prefix: the temporary directory's unique names, with the suffix kept.
  char* name = pex_stage_output_name(nullptr, PEX_OUTNAME_SUFFIX, ".i");
  ASSERT_NE(name, nullptr);
  EXPECT_TRUE(std::string_view(name).ends_with(".i"));
  EXPECT_TRUE(exists(name));
  remove(name);
  free(name);

  errno = 0;
  EXPECT_EQ(pex_stage_output_name((d + "missing/job").c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(pex_testing::open_fds(), fds_before);
}

}  // namespace
