// Whole pipelines of real processes on the platform's back end.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pex/pex.h"
#include "pex/platform.h"
#include "pex/test_support.h"
#include "support/test_emulation.h"

namespace {

using pex_testing::exists;
using pex_testing::exited_with;
using pex_testing::open_fds;

// An argument vector; the word "helper" stands for the helper program.
struct args : argv_words {
  args(std::initializer_list<std::string> list) : argv_words(list) {
    if (words[0] == "helper") pointers[0] = (words[0] = PEX_TEST_HELPER).data();
  }
};

std::string read_stream(FILE* stream) {
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  return text;
}

// Null with errno EINVAL: input can no longer be prepared this way.
template <typename F>
bool refused(F open) {
  errno = 0;
  return open() == nullptr && errno == EINVAL;
}

std::vector<int> statuses(pex_pipeline* p, int count) {
  std::vector<int> result(static_cast<size_t>(count), -7);
  EXPECT_EQ(pex_get_status(p, count, result.data()), 1);
  return result;
}

class PipelineProcessTest : public testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.path(name); }

  // Starts a stage and fails the test on an error.
  static void add(pex_pipeline* p, int flags, const args& a, const std::string& output = "",
                  const std::string& errname = "", char* const* environment = nullptr) {
    int code = -7;
    const char* message = pex_add_stage_env(p, flags, a.words[0].c_str(), a, environment,
                                            output.empty() ? nullptr : output.c_str(),
                                            errname.empty() ? nullptr : errname.c_str(), &code);
    ASSERT_EQ(message, nullptr) << message << " " << strerror(code);
  }

  temp_dir dir_;
};

// Each stage starts after the previous one was waited for; pex_destroy deletes
// the intermediate files unless they are kept, never a final stage's file.
TEST_F(PipelineProcessTest, FileModeRunsStagesOneAfterAnother) {
  for (int creation_flags : {0, PEX_KEEP_TEMPS}) {
    SCOPED_TRACE(creation_flags);
    std::string prefix = path(creation_flags == 0 ? "job" : "kept");
    pex_pipeline* p = pex_create_native(creation_flags, "test", prefix.c_str());
    add(p, 0, {"helper", "argv", "hello", "world"});
    std::string first = p->pending_in_name;
    add(p, PEX_OUTNAME_SUFFIX, {"helper", "upper"}, ".i");
    EXPECT_EQ(p->reaped_count, 1);
    add(p, PEX_FINAL_STAGE | PEX_OUTNAME_SUFFIX, {"helper", "cat"}, ".final");
    EXPECT_EQ(statuses(p, 3), (std::vector<int>{0, 0, 0}));
    pex_destroy(p);
    EXPECT_EQ(first.size(), prefix.size() + 6);
    EXPECT_EQ(first.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(exists(first), creation_flags != 0);
    EXPECT_EQ(exists(prefix + ".i"), creation_flags != 0);
    EXPECT_EQ(read_file(prefix + ".final"), "HELLO\nWORLD\n");
  }
}

// Megabytes through three stages, without deadlock in pipe mode; the output
// stream exists only once a stage wrote to what it reads, and only once.
TEST_F(PipelineProcessTest, OutputStreamCarriesMegabytesInBothModes) {
  const long bytes = 4 * 1024 * 1024 + 123;
  for (int creation_flags : {PEX_PREFER_PIPES, 0}) {
    SCOPED_TRACE(creation_flags);
    std::string first_out = path("first.out");  // ignored in pipe mode
    pex_pipeline* p = pex_create_native(creation_flags, "test", nullptr);
    EXPECT_EQ(pex_output_stream(p, 0), nullptr);
    add(p, 0, {"helper", "flood", std::to_string(bytes)}, first_out);
    add(p, 0, {"helper", "cat"});
    add(p, 0, {"helper", "cat"});
    EXPECT_EQ(exists(first_out), creation_flags == 0);
    FILE* output = pex_output_stream(p, creation_flags == 0 ? 1 : 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(pex_output_stream(p, 0), nullptr);
    std::string text = read_stream(output);
    ASSERT_EQ(text.size(), static_cast<size_t>(bytes));
    EXPECT_EQ(text.substr(0, 5), "abcde");
    EXPECT_EQ(statuses(p, 3), (std::vector<int>{0, 0, 0}));
    pex_destroy(p);
  }
}

// Input is prepared only before anything consumed the pipeline's input, and
// an input pipe only in pipe mode. The stages fed this way run in
// StagesSeeOnlyTheirStandardDescriptors.
TEST_F(PipelineProcessTest, InputOnlyBeforeTheFirstStage) {
  std::string input = path("in.txt");
  pex_pipeline* p = pex_create_native(0, "test", nullptr);
  auto input_file = [&] { return pex_open_input_file(p, 0, input.c_str()); };
  EXPECT_TRUE(refused([&] { return pex_open_input_pipe(p, 0); }));
  ASSERT_NE(input_file(), nullptr);
  EXPECT_TRUE(refused(input_file));
  add(p, PEX_FINAL_STAGE, {"helper", "cat"}, path("out.txt"));
  EXPECT_TRUE(refused(input_file));
  pex_destroy(p);

  p = pex_create_native(PEX_PREFER_PIPES, "test", nullptr);
  FILE* in = pex_open_input_pipe(p, 1);
  ASSERT_NE(in, nullptr);
  EXPECT_TRUE(refused([&] { return pex_open_input_pipe(p, 0); }));
  fclose(in);
  pex_destroy(p);

  // An input file no stage consumed: pex_destroy closes (and so flushes) it.
  std::string prefix = path("in");
  p = pex_create_native(0, "test", prefix.c_str());
  in = pex_open_input_file(p, PEX_OUTNAME_SUFFIX, ".txt");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(p->pending_in_owned, 1);  // the made name is the pipeline's to free
  fputs("flushed on close", in);
  size_t with_stream = open_fds().size();
  pex_destroy(p);  // the sanitizers report the stream or its name if they leak
  EXPECT_EQ(open_fds().size(), with_stream - 1);
  EXPECT_EQ(read_file(prefix + ".txt"), "flushed on close");
}

TEST_F(PipelineProcessTest, StandardErrorThroughAPipeOrMerged) {
  struct Case {
    int flags;
    bool with_errname;
    const char* output;
    const char* error_pipe;  // null: no error stream
    const char* error_file;
  };
  const Case cases[] = {
      {PEX_STDERR_TO_PIPE, false, "out\n", "err\n", nullptr},
      // The unused error pipe reaches its end at once instead of never.
      {PEX_STDERR_TO_PIPE | PEX_MERGE_STDERR, false, "out\nerr\n", "", nullptr},
      {PEX_MERGE_STDERR, true, "out\nerr\n", nullptr, ""},
      // Plain 2>&1: the parent's own standard error is neither used nor closed.
      {PEX_MERGE_STDERR, false, "out\nerr\n", nullptr, nullptr},
      {0, true, "out\n", nullptr, "err\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    std::string out = path("out.txt"), err = path("err.txt");
    std::set<int> before = open_fds();
    pex_pipeline* p = pex_create_native(0, "test", nullptr);
    add(p, PEX_FINAL_STAGE | c.flags, {"helper", "out-err"}, out, c.with_errname ? err : "");
    if (c.error_pipe != nullptr) {
      FILE* error = pex_error_stream(p, 0);
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(read_stream(error), c.error_pipe);
      EXPECT_EQ(pex_error_stream(p, 0), nullptr);
    }
    EXPECT_EQ(statuses(p, 1), std::vector<int>{0});
    pex_destroy(p);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(read_file(out), c.output);
    if (c.error_file != nullptr) {
      EXPECT_EQ(read_file(err), c.error_file);
    }
  }
}

// Entries beyond the children read as zeros; a busy child shows user time;
// without PEX_WANT_TIMES there are no times to get.
TEST_F(PipelineProcessTest, StatusesAndTimes) {
  pex_pipeline* p = pex_create_native(PEX_WANT_TIMES, "test", nullptr);
  EXPECT_EQ(statuses(p, 2), (std::vector<int>{0, 0}));
  add(p, PEX_FINAL_STAGE, {"helper", "busy"});
  pex_child_times times[2];
  memset(times, 0x55, sizeof times);
  ASSERT_EQ(pex_get_timing(p, 2, times), 1);
  if (pex_testing::ended_child_times_known()) {
    // Nearly all of it in user space: the system time is a field of its own.
    EXPECT_GT(times[0].user_secs * 1000000LL + times[0].user_micros,
              times[0].system_secs * 1000000LL + times[0].system_micros);
  }
  for (int32_t micros : {times[0].user_micros, times[0].system_micros}) {
    EXPECT_GE(micros, 0);
    EXPECT_LT(micros, 1000000);  // a filled record, not the 0x55 pattern
  }
  // Whole clock ticks or none: 30 ms reads 30,000 microseconds, not 30.
  EXPECT_TRUE(times[0].user_micros == 0 || times[0].user_micros >= 10000 || times[0].user_secs > 0);
  pex_destroy(p);

  p = pex_create_native(0, "test", nullptr);
  add(p, PEX_FINAL_STAGE, {"helper", "exit", "3"});
  EXPECT_EQ(pex_get_timing(p, 1, times), 0);
  EXPECT_EQ(statuses(p, 3), (std::vector<int>{exited_with(3), 0, 0}));
  pex_destroy(p);
}

TEST_F(PipelineProcessTest, EnvironmentIsPassedOrInherited) {
  pex_testing::set_env("PEX_PROBE", "inherited");
  char* environment[] = {const_cast<char*>("PEX_PROBE=given"), nullptr};
  for (char* const* given : std::initializer_list<char* const*>{nullptr, environment}) {
    std::string out = path("env.txt");
    pex_pipeline* p = pex_create_native(0, "test", nullptr);
    add(p, PEX_FINAL_STAGE, {"helper", "env", "PEX_PROBE"}, out, "", given);
    EXPECT_EQ(statuses(p, 1), std::vector<int>{0});
    pex_destroy(p);
    EXPECT_EQ(read_file(out), given != nullptr ? "given\n" : "inherited\n");
  }
  pex_testing::set_env("PEX_PROBE", nullptr);
}

// Children never waited for are terminated and reaped by pex_destroy, also
// when an earlier stage was collected already.
TEST_F(PipelineProcessTest, DestroyTerminatesChildrenNeverCollected) {
  for (int creation_flags : {0, PEX_PREFER_PIPES}) {
    SCOPED_TRACE(creation_flags);
    pex_pipeline* p = pex_create_native(creation_flags | PEX_WANT_TIMES, "test", nullptr);
    add(p, 0, {"helper", "argv", "first"});
    add(p, PEX_FINAL_STAGE, {"helper", "pause"}, path("out.txt"));
    // Only ids not yet waited for still name a child (on Windows, a handle).
    std::vector<std::unique_ptr<pex_testing::child_watch>> children;
    for (int i = p->reaped_count; i < p->child_count; ++i)
      children.push_back(std::make_unique<pex_testing::child_watch>(p->child_ids[i]));
    pex_destroy(p);
    for (auto& child : children) EXPECT_TRUE(child->ended());
  }
}

TEST_F(PipelineProcessTest, RunSingle) {
  struct Case {
    args command;
    const char* message;
    int code;
    int status;
    bool sigchld_ignored = false;  // the kernel reaps the child: the wait fails
  };
  const Case cases[] = {
      {{"helper", "exit", "2"}, nullptr, 0, exited_with(2)},
      {{"pex-no-such-program-anywhere"}, "spawn", ENOENT, 777},
      {{path("missing").c_str()}, "spawn", ENOENT, 777},
      {{"helper", "exit", "2"}, "pex_get_status failed", 0, 777, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.words[0].c_str());
    std::set<int> before = open_fds();
    int status = 777, code = -7;
    if (!pex_testing::lose_child_statuses(c.sigchld_ignored)) continue;
    EXPECT_STREQ(pex_run_single(PEX_FINAL_STAGE | PEX_PATH_SEARCH, c.command.words[0].c_str(),
                                c.command, "vesk-test", nullptr, nullptr, &status, &code),
                 c.message);
    pex_testing::lose_child_statuses(false);
    if (c.message != nullptr) {
      EXPECT_EQ(code, c.code);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(open_fds(), before);
  }
}

#ifndef _WIN32
using pex_testing::fd_flags;
using pex_testing::read_fd_list;

// A caller may start with one of 0, 1 and 2 closed. Nothing the engine opens
// may land there and pass for the caller's own stream: each case behaves as
// with the slot open and leaves nothing open. Each runs in a fresh child that
// closes the slot first, and returns what went wrong.
TEST_F(PipelineProcessTest, ClosedStandardSlotIsNeverTakenForTheCallersStream) {
  GTEST_FLAG_SET(death_test_style, fresh_child_death_test_style);
  const std::string out = path("out.txt"), mid = path("mid.txt"), input = path("in.txt");
  auto stage = [](pex_pipeline* p, int flags, const args& a, const std::string& output = "") {
    int code = 0;
    const char* message = pex_add_stage(p, flags, a.words[0].c_str(), a,
                                        output.empty() ? nullptr : output.c_str(), nullptr, &code);
    return std::string(message != nullptr ? message : "");
  };
  auto status_text = [](pex_pipeline* p, int count) {
    std::vector<int> got(static_cast<size_t>(count), -7);
    pex_get_status(p, count, got.data());
    return testing::PrintToString(got);
  };
  auto input_pipe_into_head = [&] {
    signal(SIGPIPE, SIG_IGN);
    pex_pipeline* p = pex_create_native(PEX_PREFER_PIPES, "test", nullptr);
    FILE* in = pex_open_input_pipe(p, 0);
    if (in == nullptr) return std::string("no input pipe");
    FILE* second = pex_open_input_pipe(p, 0);
    std::string fault = second == nullptr ? "" : "second pipe;";
    if (second != nullptr) fclose(second);
    fault += stage(p, PEX_FINAL_STAGE, {"/bin/sh", "-c", "head -c 5"}, out);
    bool slot_taken = fd_flags(0) != -1;  // the writer below would never hear EPIPE
    std::vector<char> block(slot_taken ? 0 : 1 << 20, 'x');
    errno = 0;
    if (fwrite(block.data(), 1, block.size(), in) == block.size() || errno != EPIPE)
      fault += "no EPIPE;";
    fclose(in);
    fault += status_text(p, 1);
    fault += read_file(out);
    pex_destroy(p);
    return fault == "{ 0 }xxxxx" ? "" : fault;
  };
  auto pipe_mode = [&] {
    pex_pipeline* p = pex_create_native(PEX_PREFER_PIPES, "test", nullptr);
    std::string fault = stage(p, 0, {"helper", "flood", "5"});
    fault += stage(p, PEX_FINAL_STAGE, {"helper", "cat"}, out);
    fault += status_text(p, 2);
    pex_destroy(p);
    fault += read_file(out);
    return fault == "{ 0, 0 }abcde" ? "" : fault;
  };
  // The final cat finds its standard output closed, as the caller's is.
  auto file_mode_to_closed_output = [&] {
    pex_pipeline* p = pex_create_native(0, "test", nullptr);
    std::string fault = stage(p, 0, {"helper", "flood", "5"}, mid);
    fault += stage(p, PEX_FINAL_STAGE, {"helper", "cat"});
    fault += status_text(p, 2);
    fault += read_file(mid);
    pex_destroy(p);
    return fault == "{ 0, 768 }abcde" ? "" : fault;
  };
  auto file_mode_streams = [&] {
    pex_pipeline* p = pex_create_native(0, "test", nullptr);
    // Moved above the standard slots, the streams stay close-on-exec.
    auto ours = [](FILE* s) {
      return s != nullptr && fileno(s) > 2 && fd_flags(fileno(s)) == FD_CLOEXEC;
    };
    FILE* in = pex_open_input_file(p, 0, input.c_str());
    std::string fault = ours(in) ? "" : "input stream;";
    if (in != nullptr) fputs("through", in);
    fault += stage(p, 0, {"helper", "cat"}, mid);
    FILE* output = pex_output_stream(p, 0);
    fault += ours(output) ? read_stream(output) : "output stream;";
    pex_destroy(p);
    return fault == "through" ? "" : fault;
  };
  struct Case {
    int closed;
    std::function<std::string()> run;
  };
  const Case cases[] = {{0, input_pipe_into_head},
                        {1, pipe_mode},
                        {2, pipe_mode},
                        {1, file_mode_to_closed_output},
                        {0, file_mode_streams}};
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto child = [&] {
      close(c.closed);
      std::set<int> before = open_fds();
      std::string fault = c.run();
      if (open_fds() != before) fault += " descriptors left open";
      fprintf(stderr, "%s\n", fault.c_str());
      // exit() skips the fixture's cleanup; a forked child (under emulation) shares the parent's.
      if (!under_emulation) std::filesystem::remove_all(dir_.name);
      exit(fault.empty() ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
  }
}

// Descriptors that a stage lists in /proc/self/fd: its three standard ones
// and what the test process itself lets children inherit, nothing else. The
// parent's descriptors are all back afterwards, with their exact flags.
TEST_F(PipelineProcessTest, StagesSeeOnlyTheirStandardDescriptors) {
  pex_testing::cloexec_guard stdout_cloexec(1, FD_CLOEXEC);
  pex_testing::cloexec_guard stdin_inheritable(0, 0);
  std::set<int> expected = {0, 1, 2};
  for (int fd : open_fds())
    if ((fd_flags(fd) & FD_CLOEXEC) == 0) expected.insert(fd);
  std::set<int> before = open_fds();
  pex_testing::standard_slots slots_before;

  pex_pipeline* p = pex_create_native(PEX_PREFER_PIPES, "test", nullptr);
  FILE* in = pex_open_input_pipe(p, 0);
  ASSERT_NE(in, nullptr);
  add(p, 0, {"helper", "fds", path("list1")});
  add(p, 0, {"helper", "fds", path("list2")}, "", path("err2"));
  add(p, PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, {"helper", "fds", path("list3")}, path("out.txt"));
  fputs("through three stages\n", in);
  fclose(in);
  FILE* error = pex_error_stream(p, 0);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(read_stream(error), "");
  EXPECT_EQ(statuses(p, 3), (std::vector<int>{0, 0, 0}));
  pex_destroy(p);
  EXPECT_EQ(read_file(path("out.txt")), "through three stages\n");

  p = pex_create_native(0, "test", nullptr);
  std::string input = path("in.txt");  // recorded as is until the first stage starts
  in = pex_open_input_file(p, 0, input.c_str());
  ASSERT_NE(in, nullptr);
  fputs("through two stages\n", in);
  add(p, 0, {"helper", "fds", path("list4")}, "", path("err1"));
  add(p, PEX_FINAL_STAGE, {"helper", "fds", path("list5")}, path("out2.txt"));
  EXPECT_EQ(statuses(p, 2), (std::vector<int>{0, 0}));
  pex_destroy(p);
  EXPECT_EQ(read_file(path("out2.txt")), "through two stages\n");
  EXPECT_TRUE(exists(input));  // the input file is the caller's

  for (const char* list : {"list1", "list2", "list3", "list4", "list5"})
    EXPECT_EQ(read_fd_list(path(list)), expected) << list;
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(pex_testing::standard_slots(), slots_before);
}

#endif

}  // namespace
