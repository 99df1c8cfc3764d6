// Whole pipelines of real processes on the POSIX back end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "pex/posix_backend.h"
#include "pex/test_support.h"

namespace {

using pex_testing::fd_flags;
using pex_testing::open_fds;
using pex_testing::read_fd_list;
using pex_testing::read_file;

// Owns an argument vector built from strings.
struct args {
  explicit args(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  char* const* argv() const { return pointers_.data(); }
  const char* program() const { return words_[0].c_str(); }
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

args helper(std::vector<std::string> words) {
  words.insert(words.begin(), PEX_TEST_HELPER);
  return args(std::move(words));
}

args shell(const std::string& script) {
  return args({"/bin/sh", "-c", script});
}

std::string read_stream(FILE* stream) {
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  return text;
}

bool exists(const std::string& name) {
  struct stat info;
  return stat(name.c_str(), &info) == 0;
}

class PipelineProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pex_process_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  // Starts a stage and fails the test on an error.
  static void add(pex_pipeline* p, int flags, const args& a, const std::string& output = "",
                  const std::string& errname = "") {
    int code = -7;
    const char* message =
        pex_add_stage(p, flags, a.program(), a.argv(), output.empty() ? nullptr : output.c_str(),
                      errname.empty() ? nullptr : errname.c_str(), &code);
    ASSERT_EQ(message, nullptr) << message << " " << strerror(code);
  }

  std::string dir_;
};

TEST_F(PipelineProcessTest, FileModeRunsStagesOneAfterAnother) {
  struct Case {
    int creation_flags;
    bool intermediate_kept;
  };
  for (const Case c : {Case{0, false}, Case{PEX_KEEP_TEMPS, true}}) {
    SCOPED_TRACE(c.creation_flags);
    std::string intermediate = path("stage1.out"), final_out = path("final.out");
    pex_pipeline* p = pex_create_posix(c.creation_flags, "test", nullptr);
    add(p, 0, helper({"argv", "hello", "world"}), intermediate);
    add(p, PEX_FINAL_STAGE, shell("tr a-z A-Z"), final_out);
    // The first child was waited for before the second one started.
    EXPECT_EQ(p->reaped_count, 1);
    EXPECT_EQ(p->child_statuses[0], 0);
    int statuses[2] = {-1, -1};
    ASSERT_EQ(pex_get_status(p, 2, statuses), 1);
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(statuses[1], 0);
    pex_destroy(p);
    EXPECT_EQ(read_file(final_out), "HELLO\nWORLD\n");
    EXPECT_EQ(exists(intermediate), c.intermediate_kept);
    remove(intermediate.c_str());
    remove(final_out.c_str());
  }
}

TEST_F(PipelineProcessTest, IntermediateFilesFromThePrefixAreDeleted) {
  std::string prefix = path("job");
  pex_pipeline* p = pex_create_posix(0, "test", prefix.c_str());
  add(p, 0, helper({"argv", "one"}));
  std::string first = p->pending_in_name;
  add(p, PEX_OUTNAME_SUFFIX, helper({"cat"}), ".i");
  std::string second = p->pending_in_name;
  add(p, PEX_FINAL_STAGE | PEX_OUTNAME_SUFFIX, helper({"cat"}), ".final");
  EXPECT_EQ(first.size(), prefix.size() + 6);
  EXPECT_EQ(first.compare(0, prefix.size(), prefix), 0);
  EXPECT_EQ(second, prefix + ".i");
  int status = -1;
  ASSERT_EQ(pex_get_status(p, 1, &status), 1);
  EXPECT_TRUE(exists(first));
  EXPECT_TRUE(exists(second));
  pex_destroy(p);
  EXPECT_FALSE(exists(first));
  EXPECT_FALSE(exists(second));
  EXPECT_EQ(read_file(prefix + ".final"), "one\n");  // a final stage's file stays
}

TEST_F(PipelineProcessTest, PipeModeCarriesMegabytesWithoutDeadlock) {
  const long bytes = 4 * 1024 * 1024 + 123;
  pex_pipeline* p = pex_create_posix(PEX_PREFER_PIPES, "test", nullptr);
  add(p, 0, helper({"flood", std::to_string(bytes)}), path("ignored.out"));
  add(p, 0, helper({"cat"}));
  add(p, 0, helper({"cat"}));
  EXPECT_FALSE(exists(path("ignored.out")));
  FILE* output = pex_output_stream(p, 0);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(p->next_in_fd, -1);
  std::string text = read_stream(output);
  ASSERT_EQ(text.size(), static_cast<size_t>(bytes));
  EXPECT_EQ(text.substr(0, 5), "abcde");
  int statuses[3] = {-1, -1, -1};
  ASSERT_EQ(pex_get_status(p, 3, statuses), 1);
  EXPECT_EQ(statuses[0], 0);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(statuses[2], 0);
  int code = -7;
  EXPECT_STREQ(
      pex_add_stage(p, 0, "/bin/true", args({"/bin/true"}).argv(), nullptr, nullptr, &code),
      "pipeline already complete");
  EXPECT_EQ(code, 0);
  pex_destroy(p);
}

TEST_F(PipelineProcessTest, InputFileFeedsTheFirstStage) {
  std::string input = path("in.txt"), final_out = path("final.out");
  pex_pipeline* p = pex_create_posix(0, "test", nullptr);
  FILE* in = pex_open_input_file(p, 0, input.c_str());
  ASSERT_NE(in, nullptr);
  fputs("from a file\n", in);
  errno = 0;
  EXPECT_EQ(pex_open_input_file(p, 0, input.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  add(p, PEX_FINAL_STAGE, helper({"cat"}), final_out);
  EXPECT_EQ(p->input_stream, nullptr);
  int status = -1;
  ASSERT_EQ(pex_get_status(p, 1, &status), 1);
  EXPECT_EQ(status, 0);
  errno = 0;
  EXPECT_EQ(pex_open_input_file(p, 0, input.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  pex_destroy(p);
  EXPECT_EQ(read_file(final_out), "from a file\n");
  EXPECT_TRUE(exists(input));  // the input file is the caller's
}

TEST_F(PipelineProcessTest, UnconsumedInputFileIsClosedByDestroy) {
  std::string prefix = path("in");
  pex_pipeline* p = pex_create_posix(0, "test", prefix.c_str());
  FILE* in = pex_open_input_file(p, PEX_OUTNAME_SUFFIX, ".txt");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(p->pending_in_owned, 1);
  fputs("flushed on close", in);
  std::set<int> with_stream = open_fds();
  pex_destroy(p);  // the sanitizers report the stream if it leaks
  EXPECT_EQ(open_fds().size(), with_stream.size() - 1);
  EXPECT_EQ(read_file(prefix + ".txt"), "flushed on close");
}

TEST_F(PipelineProcessTest, InputPipeFeedsTheFirstStage) {
  pex_pipeline* file_mode = pex_create_posix(0, "test", nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(file_mode, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  pex_destroy(file_mode);

  std::string final_out = path("final.out");
  pex_pipeline* p = pex_create_posix(PEX_PREFER_PIPES, "test", nullptr);
  FILE* in = pex_open_input_pipe(p, 1);
  ASSERT_NE(in, nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(p, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  add(p, 0, helper({"cat"}));
  add(p, PEX_FINAL_STAGE, helper({"cat"}), final_out);
  std::string sent(300000, 'q');
  ASSERT_EQ(fwrite(sent.data(), 1, sent.size(), in), sent.size());
  fclose(in);
  int statuses[2] = {-1, -1};
  ASSERT_EQ(pex_get_status(p, 2, statuses), 1);
  EXPECT_EQ(statuses[0], 0);
  EXPECT_EQ(statuses[1], 0);
  pex_destroy(p);
  EXPECT_EQ(read_file(final_out), sent);
}

TEST_F(PipelineProcessTest, OutputStreamInFileMode) {
  pex_pipeline* p = pex_create_posix(0, "test", nullptr);
  EXPECT_EQ(pex_output_stream(p, 0), nullptr);
  add(p, 0, helper({"argv", "x", "y"}));
  FILE* output = pex_output_stream(p, 1);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(p->pending_in_name, nullptr);
  EXPECT_EQ(read_stream(output), "x\ny\n");
  errno = 1234;
  EXPECT_EQ(pex_output_stream(p, 0), nullptr);
  EXPECT_EQ(errno, 1234);
  pex_destroy(p);
}

TEST_F(PipelineProcessTest, StandardErrorThroughAPipeOrMerged) {
  struct Case {
    const char* name;
    int flags;
    bool with_errname;
    const char* output;
    const char* error_pipe;  // null: no error stream
    const char* error_file;
  };
  const Case cases[] = {
      {"error pipe", PEX_STDERR_TO_PIPE, false, "out\n", "err\n", nullptr},
      // The unused error pipe reaches its end at once instead of never.
      {"merged, error pipe", PEX_STDERR_TO_PIPE | PEX_MERGE_STDERR, false, "out\nerr\n", "",
       nullptr},
      {"merged, error file", PEX_MERGE_STDERR, true, "out\nerr\n", nullptr, ""},
      {"error file", 0, true, "out\n", nullptr, "err\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = path("out.txt"), err = path("err.txt");
    std::set<int> before = open_fds();
    pex_pipeline* p = pex_create_posix(0, "test", nullptr);
    add(p, PEX_FINAL_STAGE | c.flags, shell("echo out; echo err >&2"), out,
        c.with_errname ? err : "");
    if (c.error_pipe != nullptr) {
      FILE* error = pex_error_stream(p, 0);
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(read_stream(error), c.error_pipe);
      EXPECT_EQ(pex_error_stream(p, 0), nullptr);
    }
    int status = -1;
    ASSERT_EQ(pex_get_status(p, 1, &status), 1);
    EXPECT_EQ(status, 0);
    pex_destroy(p);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(read_file(out), c.output);
    if (c.error_file != nullptr) {
      EXPECT_EQ(read_file(err), c.error_file);
    }
    remove(out.c_str());
    remove(err.c_str());
  }
}

TEST_F(PipelineProcessTest, StatusesAndTimes) {
  pex_pipeline* empty = pex_create_posix(PEX_WANT_TIMES, "test", nullptr);
  int zeros[2] = {5, 5};
  EXPECT_EQ(pex_get_status(empty, 2, zeros), 1);
  EXPECT_EQ(zeros[0], 0);
  EXPECT_EQ(zeros[1], 0);
  pex_child_times none{};
  EXPECT_EQ(pex_get_timing(empty, 1, &none), 0);
  pex_destroy(empty);

  pex_pipeline* p = pex_create_posix(PEX_WANT_TIMES, "test", nullptr);
  add(p, PEX_FINAL_STAGE, helper({"busy"}));
  EXPECT_EQ(pex_get_status(p, 0, nullptr), 1);
  EXPECT_EQ(p->reaped_count, 1);
  pex_child_times times[2];
  memset(times, 0x55, sizeof times);
  ASSERT_EQ(pex_get_timing(p, 2, times), 1);
  EXPECT_GT(times[0].user_secs * 1000000LL + times[0].user_micros, 0);
  for (int32_t micros : {times[0].user_micros, times[0].system_micros}) {
    EXPECT_GE(micros, 0);
    EXPECT_LT(micros, 1000000);  // a filled record, not the 0x55 pattern
  }
  EXPECT_EQ(times[1].user_secs, 0);
  EXPECT_EQ(times[1].user_micros, 0);
  EXPECT_EQ(times[1].system_secs, 0);
  EXPECT_EQ(times[1].system_micros, 0);
  pex_destroy(p);

  pex_pipeline* untimed = pex_create_posix(0, "test", nullptr);
  add(untimed, PEX_FINAL_STAGE, helper({"exit", "3"}));
  EXPECT_EQ(pex_get_timing(untimed, 1, times), 0);
  int statuses[3] = {-1, -1, -1};
  ASSERT_EQ(pex_get_status(untimed, 3, statuses), 1);
  EXPECT_EQ(statuses[0], 0x300);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(statuses[2], 0);
  pex_destroy(untimed);
}

TEST_F(PipelineProcessTest, EnvironmentIsPassedOrInherited) {
  setenv("PEX_PROBE", "inherited", 1);
  char* environment[] = {const_cast<char*>("PEX_PROBE=given"), nullptr};
  struct Case {
    char* const* environment;
    const char* expected;
  };
  for (const Case& c : {Case{nullptr, "inherited\n"}, Case{environment, "given\n"}}) {
    std::string out = path("env.txt");
    pex_pipeline* p = pex_create_posix(0, "test", nullptr);
    args a = helper({"env", "PEX_PROBE"});
    int code = -7;
    ASSERT_EQ(pex_add_stage_env(p, PEX_FINAL_STAGE, a.program(), a.argv(), c.environment,
                                out.c_str(), nullptr, &code),
              nullptr);
    int status = -1;
    ASSERT_EQ(pex_get_status(p, 1, &status), 1);
    pex_destroy(p);
    EXPECT_EQ(read_file(out), c.expected);
  }
  unsetenv("PEX_PROBE");
}

// Children never waited for are terminated and reaped by pex_destroy, also
// when an earlier stage was collected already.
TEST_F(PipelineProcessTest, DestroyTerminatesChildrenNeverCollected) {
  for (int creation_flags : {0, PEX_PREFER_PIPES}) {
    SCOPED_TRACE(creation_flags);
    pex_pipeline* p = pex_create_posix(creation_flags | PEX_WANT_TIMES, "test", nullptr);
    add(p, 0, helper({"argv", "first"}));
    add(p, PEX_FINAL_STAGE, helper({"pause"}), path("out.txt"));
    std::vector<pid_t> children(p->child_ids, p->child_ids + p->child_count);
    pex_destroy(p);
    for (pid_t child : children) {
      errno = 0;
      EXPECT_EQ(kill(child, 0), -1);
      EXPECT_EQ(errno, ESRCH);
      // A survivor would hold the test's output open; end it so the failure
      // shows instead of a hang.
      if (kill(child, SIGKILL) == 0) waitpid(child, nullptr, 0);
    }
  }
}

TEST_F(PipelineProcessTest, RunSingle) {
  struct Case {
    args command;
    const char* message;
    int code;
    int status;
  };
  const Case cases[] = {
      {helper({"exit", "2"}), nullptr, 0, 0x200},
      {helper({"exit", "0"}), nullptr, 0, 0},
      {args({"pex-no-such-program-anywhere"}), "spawn", ENOENT, 777},
      {args({path("missing").c_str()}), "spawn", ENOENT, 777},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.program());
    std::set<int> before = open_fds();
    int status = 777, code = -7;
    const char* message =
        pex_run_single(PEX_FINAL_STAGE | PEX_PATH_SEARCH, c.command.program(), c.command.argv(),
                       "vesk-test", nullptr, nullptr, &status, &code);
    if (c.message == nullptr) {
      EXPECT_EQ(message, nullptr) << message;
    } else {
      EXPECT_STREQ(message, c.message);
      EXPECT_EQ(code, c.code);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(open_fds(), before);
  }
}

// Descriptors that a stage lists in /proc/self/fd: its three standard ones
// and what the test process itself lets children inherit, nothing else.
TEST_F(PipelineProcessTest, StagesSeeOnlyTheirStandardDescriptors) {
  pex_testing::cloexec_guard stdout_cloexec(1, FD_CLOEXEC);
  pex_testing::cloexec_guard stdin_inheritable(0, 0);
  std::set<int> expected = pex_testing::inheritable_fds();
  expected.insert({0, 1, 2});
  std::set<int> before = open_fds();
  std::map<int, int> flags_before;
  for (int fd = 0; fd < 3; ++fd) flags_before[fd] = fd_flags(fd);

  {
    SCOPED_TRACE("pipe mode");
    pex_pipeline* p = pex_create_posix(PEX_PREFER_PIPES, "test", nullptr);
    FILE* in = pex_open_input_pipe(p, 0);
    ASSERT_NE(in, nullptr);
    add(p, 0, helper({"fds", path("list1")}));
    add(p, 0, helper({"fds", path("list2")}), "", path("err2"));
    add(p, PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, helper({"fds", path("list3")}), path("out.txt"));
    fputs("through three stages\n", in);
    fclose(in);
    FILE* error = pex_error_stream(p, 0);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(read_stream(error), "");
    int statuses[3] = {-1, -1, -1};
    ASSERT_EQ(pex_get_status(p, 3, statuses), 1);
    pex_destroy(p);
    for (int status : statuses) EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path("out.txt")), "through three stages\n");
    for (const char* list : {"list1", "list2", "list3"})
      EXPECT_EQ(read_fd_list(path(list)), expected) << list;
  }
  {
    SCOPED_TRACE("file mode");
    pex_pipeline* p = pex_create_posix(0, "test", nullptr);
    std::string input = path("in.txt");  // recorded as is until the first stage starts
    FILE* in = pex_open_input_file(p, 0, input.c_str());
    ASSERT_NE(in, nullptr);
    fputs("through two stages\n", in);
    add(p, 0, helper({"fds", path("list4")}), "", path("err1"));
    add(p, PEX_FINAL_STAGE, helper({"fds", path("list5")}), path("out2.txt"));
    int statuses[2] = {-1, -1};
    ASSERT_EQ(pex_get_status(p, 2, statuses), 1);
    pex_destroy(p);
    EXPECT_EQ(read_file(path("out2.txt")), "through two stages\n");
    for (const char* list : {"list4", "list5"})
      EXPECT_EQ(read_fd_list(path(list)), expected) << list;
  }

  EXPECT_EQ(open_fds(), before);
  for (int fd = 0; fd < 3; ++fd) EXPECT_EQ(fd_flags(fd), flags_before[fd]) << fd;
}

}  // namespace
