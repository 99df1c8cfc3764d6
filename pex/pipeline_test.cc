// The engine over a fake back end that records its calls and fails on
// request: the failure paths that a real system cannot produce on demand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pex/pex.h"

namespace {

struct fake_backend {
  std::vector<std::string> calls;
  std::vector<int> closed;
  int next_fd = 10;
  pid_t next_pid = 500;
  // Errno values to fail with; 0 means succeed.
  int open_read_errno = 0;
  int open_write_errno = 0;
  std::string open_write_fails_for;  // empty: any name
  int pipe_errno = 0;
  int pipe_fails_on_call = 1;  // which create_pipe call fails
  int pipe_calls = 0;
  int spawn_errno = 0;
  int wait_errno = 0;
  std::vector<pid_t> waited;
  std::vector<int> kill_requests;
  std::vector<bool> timed;  // whether each wait was asked for times
};

fake_backend& fake_of(pex_pipeline* pipeline) {
  return *static_cast<fake_backend*>(pipeline->backend_data);
}

int fake_open_for_reading(pex_pipeline* pipeline, const char* name, int) {
  fake_backend& fake = fake_of(pipeline);
  fake.calls.push_back(std::string("open_r ") + name);
  if (fake.open_read_errno != 0) {
    errno = fake.open_read_errno;
    return -1;
  }
  return fake.next_fd++;
}

int fake_open_for_writing(pex_pipeline* pipeline, const char* name, int) {
  fake_backend& fake = fake_of(pipeline);
  fake.calls.push_back(std::string("open_w ") + name);
  if (fake.open_write_errno != 0 &&
      (fake.open_write_fails_for.empty() || fake.open_write_fails_for == name)) {
    errno = fake.open_write_errno;
    return -1;
  }
  return fake.next_fd++;
}

pid_t fake_spawn_child(pex_pipeline* pipeline, int, const char*, char* const*, char* const*,
                       int in_fd, int out_fd, int err_fd, int to_close, const char** message,
                       int* error_code) {
  fake_backend& fake = fake_of(pipeline);
  fake.calls.push_back("spawn " + std::to_string(in_fd) + " " + std::to_string(out_fd) + " " +
                       std::to_string(err_fd) + " " + std::to_string(to_close));
  if (fake.spawn_errno != 0) {
    *message = "spawn";
    *error_code = fake.spawn_errno;
    return -1;
  }
  return fake.next_pid++;
}

int fake_close_descriptor(pex_pipeline* pipeline, int fd) {
  fake_of(pipeline).closed.push_back(fd);
  return 0;
}

int fake_wait_for_child(pex_pipeline* pipeline, pid_t pid, int* status, pex_child_times* times,
                        int kill_first, const char** message, int* error_code) {
  fake_backend& fake = fake_of(pipeline);
  fake.waited.push_back(pid);
  fake.kill_requests.push_back(kill_first);
  fake.timed.push_back(times != nullptr);
  if (fake.wait_errno != 0) {
    // A failed wait leaves garbage behind; the engine must not trust it.
    *status = 0;
    if (times != nullptr) *times = pex_child_times{1, 2, 3, 4};
    *message = "wait";
    *error_code = fake.wait_errno;
    return -1;
  }
  *status = (pid - 500 + 1) << 8;
  if (times != nullptr) *times = pex_child_times{pid, 1, 0, 2};
  return 0;
}

int fake_create_pipe(pex_pipeline* pipeline, int* fds, int) {
  fake_backend& fake = fake_of(pipeline);
  fake.calls.push_back("pipe");
  if (fake.pipe_errno != 0 && ++fake.pipe_calls == fake.pipe_fails_on_call) {
    errno = fake.pipe_errno;
    return -1;
  }
  fds[0] = fake.next_fd++;
  fds[1] = fake.next_fd++;
  return 0;
}

FILE* fake_stream_for_reading(pex_pipeline*, int, int) {
  return nullptr;
}
FILE* fake_stream_for_writing(pex_pipeline*, int, int) {
  return nullptr;
}

int releases = 0;
void fake_release_backend(pex_pipeline*) {
  ++releases;
}

constexpr pex_backend_ops fake_ops = {
    fake_open_for_reading,   fake_open_for_writing,   fake_spawn_child,
    fake_close_descriptor,   fake_wait_for_child,     fake_create_pipe,
    fake_stream_for_reading, fake_stream_for_writing, fake_release_backend,
};

class FakePipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pex_fake_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  pex_pipeline* make(int creation_flags, const char* temp_prefix = nullptr) {
    pex_pipeline* pipeline = pex_create(creation_flags, "fake", temp_prefix, &fake_ops);
    pipeline->backend_data = &fake_;
    return pipeline;
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  static bool exists(const std::string& name) {
    struct stat info;
    return stat(name.c_str(), &info) == 0;
  }

  std::string dir_;
  fake_backend fake_;
};

char* const argv_true[] = {const_cast<char*>("true"), nullptr};

// Every row of the stage-start failure table: the message, the error code,
// what the engine closed (never 0, 1 or 2) and what stays recorded.
TEST_F(FakePipelineTest, StageStartFailures) {
  struct Case {
    const char* name;
    int creation_flags;
    std::function<void(pex_pipeline*, fake_backend&, const std::string& dir)> before;
    int stage_flags;
    const char* output_name;  // relative to the test directory
    const char* errname;
    const char* message;
    int error_code;
    std::vector<int> closed;
    std::function<void(pex_pipeline*, fake_backend&)> stays;
  };
  const std::string intermediate_name = path("stage1.out");
  const std::string missing_prefix = path("missing/job");
  auto fail_writes = [](pex_pipeline*, fake_backend& f, const std::string&) {
    f.open_write_errno = EACCES;
  };
  auto add_ok = [](pex_pipeline* p, int flags, const char* out, const char* err) {
    int code = -7;
    const char* message = pex_add_stage(p, flags, "true", argv_true, out, err, &code);
    ASSERT_EQ(message, nullptr) << message;
  };
  const Case cases[] = {
      {"wait fails before the pending input",
       0,
       [&](pex_pipeline* p, fake_backend& f, const std::string&) {
         add_ok(p, 0, intermediate_name.c_str(), nullptr);
         f.wait_errno = ECHILD;
       },
       PEX_FINAL_STAGE,
       nullptr,
       nullptr,
       "wait",
       ECHILD,
       {},
       [&](pex_pipeline* p, fake_backend& f) {
         EXPECT_EQ(p->reaped_count, 1);
         EXPECT_STREQ(p->pending_in_name, intermediate_name.c_str());
         EXPECT_EQ(f.waited, std::vector<pid_t>{500});
         EXPECT_EQ(p->next_in_fd, 0);
       }},
      {"pending input cannot be opened",
       0,
       [&](pex_pipeline* p, fake_backend& f, const std::string&) {
         add_ok(p, 0, intermediate_name.c_str(), nullptr);
         f.open_read_errno = ENOENT;
       },
       PEX_FINAL_STAGE,
       nullptr,
       nullptr,
       "open temporary file",
       ENOENT,
       {},
       [&](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->reaped_count, 1);
         EXPECT_STREQ(p->pending_in_name, intermediate_name.c_str());
         EXPECT_EQ(p->next_in_fd, 0);
       }},
      {"stage after the final one",
       0,
       [&](pex_pipeline* p, fake_backend& f, const std::string&) {
         add_ok(p, PEX_FINAL_STAGE, nullptr, nullptr);
         f.calls.clear();
       },
       0,
       nullptr,
       nullptr,
       "pipeline already complete",
       0,
       {},
       [](pex_pipeline* p, fake_backend& f) {
         EXPECT_TRUE(f.calls.empty());
         EXPECT_EQ(p->child_count, 1);
       }},
      {"final output file cannot be opened, first stage",
       0,
       fail_writes,
       PEX_FINAL_STAGE,
       "final.out",
       nullptr,
       "open temporary output file",
       EACCES,
       {},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->next_in_fd, -1);
         EXPECT_EQ(p->temp_file_count, 0);
       }},
      {"final output file cannot be opened, reading a pipe",
       PEX_PREFER_PIPES,
       [&](pex_pipeline* p, fake_backend& f, const std::string& dir) {
         add_ok(p, 0, nullptr, nullptr);
         fail_writes(p, f, dir);
       },
       PEX_FINAL_STAGE,
       "final.out",
       nullptr,
       "open temporary output file",
       EACCES,
       {10},
       [](pex_pipeline* p, fake_backend&) { EXPECT_EQ(p->next_in_fd, -1); }},
      {"intermediate output file cannot be opened",
       0,
       fail_writes,
       0,
       "stage1.out",
       nullptr,
       "open temporary output file",
       EACCES,
       {},
       [&](pex_pipeline* p, fake_backend&) {
         EXPECT_STREQ(p->pending_in_name, intermediate_name.c_str());
         ASSERT_EQ(p->temp_file_count, 1);
         EXPECT_STREQ(p->temp_files[0], intermediate_name.c_str());
       }},
      {"output pipe cannot be made",
       PEX_PREFER_PIPES,
       [&](pex_pipeline* p, fake_backend& f, const std::string&) {
         add_ok(p, 0, nullptr, nullptr);  // next_in_fd = 10
         f.pipe_errno = EMFILE;
       },
       0,
       nullptr,
       nullptr,
       "pipe",
       EMFILE,
       {10},
       // The closed read end is forgotten, so nothing closes it again.
       [](pex_pipeline* p, fake_backend&) { EXPECT_EQ(p->next_in_fd, -1); }},
      {"output pipe cannot be made, first stage",
       PEX_PREFER_PIPES,
       [](pex_pipeline*, fake_backend& f, const std::string&) { f.pipe_errno = EMFILE; },
       0,
       nullptr,
       nullptr,
       "pipe",
       EMFILE,
       {},
       [](pex_pipeline* p, fake_backend&) { EXPECT_EQ(p->next_in_fd, 0); }},
      {"no unique intermediate file",
       0,
       [&](pex_pipeline* p, fake_backend&, const std::string&) {
         p->temp_prefix = missing_prefix.c_str();
       },
       0,
       nullptr,
       nullptr,
       "could not create temporary file",
       0,
       {},
       [](pex_pipeline* p, fake_backend& f) {
         EXPECT_EQ(p->pending_in_name, nullptr);
         EXPECT_EQ(p->temp_file_count, 0);
         EXPECT_TRUE(f.calls.empty());
       }},
      // Checked before the error pipe that already exists.
      {"errname with the error pipe",
       PEX_PREFER_PIPES,
       [&](pex_pipeline* p, fake_backend&, const std::string&) {
         add_ok(p, PEX_STDERR_TO_PIPE, nullptr, nullptr);  // 10,11 out; 12,13 err
       },
       PEX_STDERR_TO_PIPE,
       nullptr,
       "err.txt",
       "both ERRNAME and PEX_STDERR_TO_PIPE specified.",
       0,
       {10, 15},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->next_in_fd, 14);
         EXPECT_EQ(p->stderr_read_fd, 12);
       }},
      {"error pipe before another stage",
       PEX_PREFER_PIPES,
       [&](pex_pipeline* p, fake_backend&, const std::string&) {
         add_ok(p, PEX_STDERR_TO_PIPE, nullptr, nullptr);  // 10,11 out; 12,13 err
       },
       PEX_FINAL_STAGE,
       "final.out",
       nullptr,
       "PEX_STDERR_TO_PIPE used in the middle of pipeline",
       0,
       {10, 14},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->stderr_read_fd, 12);
         EXPECT_EQ(p->next_in_fd, -1);
       }},
      {"error pipe before another stage with errname",
       0,
       [&](pex_pipeline* p, fake_backend&, const std::string&) {
         add_ok(p, PEX_STDERR_TO_PIPE, "stage1.out", nullptr);  // out 10; err 11,12
       },
       0,
       "stage2.out",
       "err.txt",
       "PEX_STDERR_TO_PIPE used in the middle of pipeline",
       0,
       {13, 14},
       [&](pex_pipeline* p, fake_backend& f) {
         EXPECT_EQ(p->stderr_read_fd, 11);
         EXPECT_EQ(p->temp_file_count, 2);
         EXPECT_STREQ(p->pending_in_name, path("stage2.out").c_str());
         for (const std::string& call : f.calls) EXPECT_EQ(call.find("err.txt"), std::string::npos);
       }},
      {"error file cannot be opened",
       0,
       [](pex_pipeline*, fake_backend& f, const std::string& dir) {
         f.open_write_errno = EROFS;
         f.open_write_fails_for = dir + "/err.txt";
       },
       PEX_FINAL_STAGE,
       "final.out",
       "err.txt",
       "open error file",
       EROFS,
       {10},
       [](pex_pipeline* p, fake_backend&) { EXPECT_EQ(p->next_in_fd, -1); }},
      {"error pipe cannot be made",
       PEX_PREFER_PIPES,
       [](pex_pipeline*, fake_backend& f, const std::string&) {
         f.pipe_errno = ENFILE;
         f.pipe_fails_on_call = 2;
       },
       PEX_STDERR_TO_PIPE,
       nullptr,
       nullptr,
       "pipe",
       ENFILE,
       {11},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->next_in_fd, 10);
         EXPECT_EQ(p->stderr_read_fd, -1);
       }},
      {"child cannot be started",
       PEX_PREFER_PIPES,
       [&](pex_pipeline* p, fake_backend& f, const std::string&) {
         add_ok(p, 0, nullptr, nullptr);  // next_in_fd = 10
         f.spawn_errno = ENOEXEC;
       },
       PEX_STDERR_TO_PIPE,
       nullptr,
       nullptr,
       "spawn",
       ENOEXEC,
       {10, 13, 15},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->next_in_fd, 12);
         EXPECT_EQ(p->stderr_read_fd, 14);
         EXPECT_EQ(p->child_count, 1);
       }},
      {"child cannot be started, standard descriptors",
       0,
       [](pex_pipeline*, fake_backend& f, const std::string&) { f.spawn_errno = E2BIG; },
       PEX_FINAL_STAGE,
       nullptr,
       nullptr,
       "spawn",
       E2BIG,
       {},
       [](pex_pipeline* p, fake_backend&) {
         EXPECT_EQ(p->child_count, 0);
         EXPECT_EQ(p->next_in_fd, -1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_ = fake_backend{};
    pex_pipeline* p = make(c.creation_flags);
    if (c.before) c.before(p, fake_, dir_);
    if (HasFatalFailure()) return;
    fake_.closed.clear();
    std::string output = c.output_name != nullptr ? path(c.output_name) : "";
    std::string errname = c.errname != nullptr ? path(c.errname) : "";
    int code = -7;
    const char* message = pex_add_stage(p, c.stage_flags, "prog", argv_true,
                                        c.output_name != nullptr ? output.c_str() : nullptr,
                                        c.errname != nullptr ? errname.c_str() : nullptr, &code);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, c.message);
    EXPECT_EQ(code, c.error_code);
    EXPECT_EQ(fake_.closed, c.closed);
    c.stays(p, fake_);

    // pex_destroy closes what stays recorded, once, and never 0, 1 or 2.
    fake_.wait_errno = 0;
    pex_destroy(p);
    std::multiset<int> all_closed(fake_.closed.begin(), fake_.closed.end());
    for (int fd : all_closed) {
      EXPECT_GT(fd, 2);
      EXPECT_EQ(all_closed.count(fd), 1u) << fd;
    }
  }
}

TEST_F(FakePipelineTest, InputStreamThatFailsToCloseIsNeverClosedAgain) {
  pex_pipeline* p = make(0);
  std::string input = path("input.txt");
  FILE* stream = pex_open_input_file(p, 0, input.c_str());
  ASSERT_NE(stream, nullptr);
  fputs("data", stream);
  close(fileno(stream));  // the flush inside fclose now fails with EBADF

  int code = -7;
  EXPECT_STREQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code),
               "closing pipeline input file");
  EXPECT_EQ(code, EBADF);
  EXPECT_TRUE(fake_.closed.empty());
  EXPECT_EQ(p->input_stream, nullptr);
  EXPECT_STREQ(p->pending_in_name, input.c_str());

  // The next start goes on with the pending file; pex_destroy has nothing
  // left to close (a second fclose would be caught by the sanitizers).
  EXPECT_EQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code), nullptr);
  EXPECT_EQ(fake_.calls.front(), "open_r " + input);
  pex_destroy(p);
}

TEST_F(FakePipelineTest, FailedWaitIsNotRepeatedAndNeverReadsAsSuccess) {
  pex_pipeline* p = make(PEX_WANT_TIMES);
  std::string intermediate = path("stage1.out");
  int code = -7;
  ASSERT_EQ(pex_add_stage(p, 0, "prog", argv_true, intermediate.c_str(), nullptr, &code), nullptr);
  fake_.wait_errno = ECHILD;
  EXPECT_STREQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code),
               "wait");
  fake_.wait_errno = 0;
  // The retry opens the pending file without waiting for the child again.
  EXPECT_EQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code), nullptr);
  EXPECT_EQ(fake_.waited.size(), 1u);

  int statuses[3] = {7, 7, 7};
  ASSERT_EQ(pex_get_status(p, 3, statuses), 1);
  EXPECT_EQ(statuses[0], -1);
  EXPECT_FALSE(WIFEXITED(statuses[0]));
  EXPECT_FALSE(WIFSIGNALED(statuses[0]));
  EXPECT_EQ(statuses[1], 0x200);
  EXPECT_EQ(statuses[2], 0);
  pex_child_times times[2];
  ASSERT_EQ(pex_get_timing(p, 2, times), 1);
  EXPECT_EQ(times[0].user_secs, 0);
  EXPECT_EQ(times[0].user_micros, 0);
  EXPECT_EQ(times[0].system_secs, 0);
  EXPECT_EQ(times[0].system_micros, 0);
  EXPECT_EQ(times[1].user_secs, 501);
  pex_destroy(p);
}

TEST_F(FakePipelineTest, GetStatusReportsAFailedWaitOnce) {
  pex_pipeline* p = make(0);
  int code = -7;
  ASSERT_EQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code), nullptr);
  fake_.wait_errno = EINVAL;
  int status = 12345;
  EXPECT_EQ(pex_get_status(p, 1, &status), 0);
  EXPECT_EQ(status, 12345);
  pex_child_times times{};
  EXPECT_EQ(pex_get_timing(p, 1, &times), 0);  // no times wanted
  pex_destroy(p);
  EXPECT_EQ(fake_.waited.size(), 1u);
}

TEST_F(FakePipelineTest, DestroyTerminatesEveryChildNeverWaitedFor) {
  const char* stage1 = "stage1.out";
  pex_pipeline* p = make(PEX_WANT_TIMES);
  p->temp_prefix = nullptr;
  int code = -7;
  std::string s1 = path(stage1);
  ASSERT_EQ(pex_add_stage(p, 0, "prog", argv_true, s1.c_str(), nullptr, &code), nullptr);
  ASSERT_EQ(pex_add_stage(p, PEX_FINAL_STAGE, "prog", argv_true, nullptr, nullptr, &code), nullptr);
  ASSERT_EQ(p->reaped_count, 1);
  pex_destroy(p);
  // The first child was waited for normally, the second killed and reaped.
  EXPECT_EQ(fake_.waited, (std::vector<pid_t>{500, 501}));
  EXPECT_EQ(fake_.kill_requests, (std::vector<int>{0, 1}));
  EXPECT_EQ(fake_.timed, (std::vector<bool>{true, false}));
}

TEST_F(FakePipelineTest, DestroyOfAFreshPipelineOnlyReleasesTheBackEnd) {
  int before = releases;
  pex_pipeline* p = make(PEX_WANT_TIMES);
  const char* message = nullptr;
  int code = -7;
  EXPECT_EQ(pex_collect_children(p, false, &message, &code), 1);
  EXPECT_EQ(p->child_statuses, nullptr);
  pex_destroy(p);
  EXPECT_EQ(releases, before + 1);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_TRUE(fake_.closed.empty());
  EXPECT_TRUE(fake_.waited.empty());
}

// Which names an intermediate file gets, and which of them pex_destroy deletes.
TEST_F(FakePipelineTest, IntermediateNamesAreRecordedAndDeleted) {
  struct Case {
    int creation_flags;
    const char* output_name;
    bool deleted;
    int pending_owned;
  };
  const Case cases[] = {
      {0, "stage1.out", true, 0},
      {PEX_KEEP_TEMPS, "stage1.out", false, 0},
      {0, nullptr, true, 0},
      {PEX_KEEP_TEMPS, nullptr, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.creation_flags) + (c.output_name ? c.output_name : "(null)"));
    fake_ = fake_backend{};
    std::string prefix = path("job");
    pex_pipeline* p = make(c.creation_flags, prefix.c_str());
    std::string own = c.output_name != nullptr ? path(c.output_name) : "";
    if (c.output_name != nullptr) {
      FILE* made = fopen(own.c_str(), "w");  // stands for the stage's output
      ASSERT_NE(made, nullptr);
      fclose(made);
    }
    int code = -7;
    ASSERT_EQ(pex_add_stage(p, 0, "prog", argv_true,
                            c.output_name != nullptr ? own.c_str() : nullptr, nullptr, &code),
              nullptr);
    std::string name = p->pending_in_name;
    if (c.output_name != nullptr) {
      EXPECT_EQ(name, own);
      EXPECT_EQ(p->pending_in_name, own.c_str());  // the caller's string, not a copy
    } else {
      EXPECT_EQ(name.size(), prefix.size() + 6);
      EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0);
    }
    EXPECT_EQ(p->pending_in_owned, c.pending_owned);
    EXPECT_TRUE(exists(name));
    pex_destroy(p);
    EXPECT_EQ(exists(name), !c.deleted);
    remove(name.c_str());
  }
}

TEST_F(FakePipelineTest, StageOutputNames) {
  struct Case {
    const char* prefix;  // relative to the test directory, or null
    int flags;
    const char* output_name;
    std::string expected_start;
    size_t unique_chars;  // characters after expected_start, made unique
    bool is_own;
  };
  std::string d = dir_ + "/";
  const Case cases[] = {
      {"job", 0, "stage1.out", "stage1.out", 0, true},
      {nullptr, 0, "stage1.out", "stage1.out", 0, true},
      {"job", PEX_OUTNAME_SUFFIX, ".i", d + "job.i", 0, false},
      {"job", 0, nullptr, d + "job", 6, false},
      {"jobXXXXXX", PEX_OUTNAME_SUFFIX, nullptr, d + "job", 6, false},
      {"XXXXX", 0, nullptr, d + "XXXXX", 6, false},
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
    EXPECT_EQ(name == c.output_name, c.is_own);
    if (!c.is_own) free(name);
    remove(got.c_str());
  }

  // No prefix: the temporary directory's unique names, with the suffix kept.
  char* name = pex_stage_output_name(nullptr, PEX_OUTNAME_SUFFIX, ".i");
  ASSERT_NE(name, nullptr);
  std::string got = name;
  EXPECT_EQ(got.substr(got.size() - 2), ".i");
  EXPECT_TRUE(exists(got));
  remove(name);
  free(name);

  std::string missing = d + "missing/job";
  errno = 0;
  EXPECT_EQ(pex_stage_output_name(missing.c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
