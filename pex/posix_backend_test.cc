// The POSIX back end's slots on their own, with real descriptors and children,
// and the spawn primitive replaced where the schedule or the state at the
// moment of the spawn is what matters.
#include "pex/posix_backend.h"

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

#include "pex/test_support.h"

extern char** environ;

namespace {

using pex_testing::fd_flags;
using pex_testing::file_identity;
using pex_testing::open_fds;
using pex_testing::read_file;

// What the spawn primitive saw: the process's descriptors at that moment.
struct spawn_record {
  std::set<int> fds;
  std::map<int, int> flags;
  std::map<int, std::pair<dev_t, ino_t>> identity;
  char* const* environment = nullptr;
  bool path_search = false;
};

struct scripted_spawn {
  std::vector<int> results;  // error numbers; 0 succeeds with pid 4242
  size_t attempts = 0;
  std::vector<unsigned> pauses;
  std::vector<spawn_record> records;
};
scripted_spawn* script = nullptr;

int scripted_primitive(pid_t* pid, const char*, char* const*, char* const* environment,
                       bool path_search) {
  spawn_record record;
  record.fds = open_fds();
  for (int fd : record.fds) {
    record.flags[fd] = fd_flags(fd);
    record.identity[fd] = file_identity(fd);
  }
  record.environment = environment;
  record.path_search = path_search;
  script->records.push_back(record);
  int result = script->results.at(script->attempts++);
  if (result == -1) {  // "succeeds" without a process id
    errno = ENOMEM;
    *pid = 0;
    return 0;
  }
  if (result == 0) *pid = 4242;
  return result;
}

void recorded_pause(unsigned seconds) {
  script->pauses.push_back(seconds);
}

// Installs the scripted seams for one scope.
struct seam_guard {
  explicit seam_guard(scripted_spawn& s) {
    script = &s;
    pex_spawn_primitive = scripted_primitive;
    pex_retry_pause = recorded_pause;
  }
  ~seam_guard() {
    pex_spawn_primitive = saved_spawn;
    pex_retry_pause = saved_pause;
    script = nullptr;
  }
  pex_spawn_function saved_spawn = pex_spawn_primitive;
  void (*saved_pause)(unsigned) = pex_retry_pause;
};

class PosixBackendTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pex_posix_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    pipeline_ = pex_create_posix(0, "test", nullptr);
    ops_ = pipeline_->ops;
  }
  void TearDown() override {
    pex_destroy(pipeline_);
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  int write_file(const char* name, const char* text) {
    std::string full = path(name);
    FILE* f = fopen(full.c_str(), "w");
    fputs(text, f);
    fclose(f);
    return open(full.c_str(), O_RDONLY);
  }
  int create(const char* name) { return ops_->open_for_writing(pipeline_, path(name).c_str(), 0); }
  pid_t spawn(int flags, char* const* argv, int in_fd, int out_fd, int err_fd, int to_close,
              const char** message, int* code, char* const* environment = nullptr) {
    return ops_->spawn_child(pipeline_, flags, argv[0], argv, environment, in_fd, out_fd, err_fd,
                             to_close, message, code);
  }
  int wait(pid_t pid, int* status, pex_child_times* times = nullptr, int kill_first = 0) {
    const char* message = nullptr;
    int code = 0;
    return ops_->wait_for_child(pipeline_, pid, status, times, kill_first, &message, &code);
  }

  std::string dir_;
  pex_pipeline* pipeline_ = nullptr;
  const pex_backend_ops* ops_ = nullptr;
};

char* const helper_argv_true[] = {const_cast<char*>("true"), nullptr};

TEST_F(PosixBackendTest, SpawnRetriesOnlyOnEagain) {
  struct Case {
    const char* name;
    std::vector<int> results;
    pid_t expected_pid;
    const char* expected_message;  // what the last failed attempt left behind
    int expected_code;
    std::vector<unsigned> pauses;
  };
  const Case cases[] = {
      {"keeps failing", {EAGAIN, EAGAIN, EAGAIN, EAGAIN}, -1, "spawn", EAGAIN, {2, 4, 8}},
      {"other error", {ENOENT}, -1, "spawn", ENOENT, {}},
      {"succeeds on the third attempt", {EAGAIN, EAGAIN, 0}, 4242, "spawn", EAGAIN, {2, 4}},
      {"succeeds at once", {0}, 4242, nullptr, 0, {}},
      {"no process id", {-1}, -1, "spawn", ENOMEM, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted_spawn s;
    s.results = c.results;
    seam_guard guard(s);
    const char* message = nullptr;
    int code = 0;
    pid_t pid =
        spawn(PEX_FINAL_STAGE | PEX_PATH_SEARCH, helper_argv_true, 0, 1, 2, -1, &message, &code);
    EXPECT_EQ(pid, c.expected_pid);
    EXPECT_EQ(s.attempts, c.results.size());
    EXPECT_EQ(s.pauses, c.pauses);
    EXPECT_STREQ(message, c.expected_message);
    EXPECT_EQ(code, c.expected_code);
    ASSERT_FALSE(s.records.empty());
    EXPECT_TRUE(s.records[0].path_search);
    EXPECT_EQ(s.records[0].environment, environ);
  }
}

// The wrappers' case: descriptors 0, 1, 2 and nothing to keep from the child.
TEST_F(PosixBackendTest, StandardDescriptorsAreLeftUntouched) {
  std::set<int> before = open_fds();
  std::map<int, int> flags_before;
  for (int fd : before) flags_before[fd] = fd_flags(fd);
  scripted_spawn s;
  s.results = {0};
  seam_guard guard(s);
  char* environment[] = {const_cast<char*>("A=1"), nullptr};
  const char* message = nullptr;
  int code = 0;
  EXPECT_EQ(spawn(0, helper_argv_true, 0, 1, 2, -1, &message, &code, environment), 4242);
  ASSERT_EQ(s.records.size(), 1u);
  EXPECT_EQ(s.records[0].fds, before);
  EXPECT_EQ(s.records[0].flags, flags_before);
  EXPECT_EQ(s.records[0].environment, environment);
  EXPECT_FALSE(s.records[0].path_search);
}

// Parent slots hold the child's descriptors only during the spawn; the copies
// of the parent's sit above 2 with close-on-exec, and everything comes back
// with its exact flags.
TEST_F(PosixBackendTest, DisplacedDescriptorsAreSavedAndRestored) {
  pex_testing::cloexec_guard stdout_cloexec(1, FD_CLOEXEC);
  pex_testing::cloexec_guard stdin_inheritable(0, 0);
  std::set<int> before = open_fds();
  std::map<int, int> flags_before;
  std::map<int, std::pair<dev_t, ino_t>> identity_before;
  for (int fd = 0; fd < 3; ++fd) {
    flags_before[fd] = fd_flags(fd);
    identity_before[fd] = file_identity(fd);
  }
  int in_fd = write_file("in.txt", "x");
  int out_fd = create("out.txt");
  int err_fd = create("err.txt");
  auto in_id = file_identity(in_fd), out_id = file_identity(out_fd), err_id = file_identity(err_fd);

  scripted_spawn s;
  s.results = {0};
  {
    seam_guard guard(s);
    const char* message = nullptr;
    int code = 0;
    EXPECT_EQ(spawn(0, helper_argv_true, in_fd, out_fd, err_fd, -1, &message, &code), 4242);
  }
  ASSERT_EQ(s.records.size(), 1u);
  const spawn_record& at_spawn = s.records[0];
  EXPECT_EQ(at_spawn.identity.at(0), in_id);
  EXPECT_EQ(at_spawn.identity.at(1), out_id);
  EXPECT_EQ(at_spawn.identity.at(2), err_id);
  for (int fd = 0; fd < 3; ++fd) EXPECT_EQ(at_spawn.flags.at(fd), 0) << fd;
  for (int fd : {in_fd, out_fd, err_fd}) EXPECT_EQ(at_spawn.fds.count(fd), 0u) << fd;
  int copies = 0;
  for (int fd : at_spawn.fds) {
    if (before.count(fd) != 0 || fd < 3) continue;
    ++copies;
    EXPECT_EQ(at_spawn.flags.at(fd), FD_CLOEXEC) << fd;
  }
  EXPECT_EQ(copies, 3);

  EXPECT_EQ(open_fds(), before);
  for (int fd = 0; fd < 3; ++fd) {
    EXPECT_EQ(fd_flags(fd), flags_before[fd]) << fd;
    EXPECT_EQ(file_identity(fd), identity_before[fd]) << fd;
  }
}

// Every failure puts the parent's own descriptors back, so the caller's
// message still reaches its real standard error.
TEST_F(PosixBackendTest, FailedSpawnPutsParentDescriptorsBack) {
  struct Case {
    const char* name;
    bool bad_in;
    bool bad_out;
    const char* program;
    const char* message;
    int code;
  };
  const Case cases[] = {
      {"input cannot be installed", true, false, "/bin/true", "dup2", EBADF},
      {"output cannot be installed after the input", false, true, "/bin/true", "dup2", EBADF},
      {"program does not exist", false, false, "/nonexistent/program", "spawn", ENOENT},
  };
  pex_testing::cloexec_guard stdout_cloexec(1, FD_CLOEXEC);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::set<int> before = open_fds();
    std::map<int, std::pair<dev_t, ino_t>> identity_before;
    std::map<int, int> flags_before;
    for (int fd = 0; fd < 3; ++fd) {
      identity_before[fd] = file_identity(fd);
      flags_before[fd] = fd_flags(fd);
    }
    int in_fd = c.bad_in ? 900 : write_file("in.txt", "x");
    int out_fd = c.bad_out ? 901 : create("out.txt");
    int err_fd = create("err.txt");
    int to_close = open("/dev/null", O_RDONLY);  // inheritable before the call
    char* argv[] = {const_cast<char*>(c.program), nullptr};
    const char* message = nullptr;
    int code = 0;
    EXPECT_EQ(spawn(0, argv, in_fd, out_fd, err_fd, to_close, &message, &code), -1);
    EXPECT_STREQ(message, c.message);
    EXPECT_EQ(code, c.code);
    for (int fd = 0; fd < 3; ++fd) {
      EXPECT_EQ(file_identity(fd), identity_before[fd]) << fd;
      EXPECT_EQ(fd_flags(fd), flags_before[fd]) << fd;
    }
    EXPECT_EQ(fd_flags(to_close), 0);
    // As the engine does after a failed start; some are closed already.
    for (int fd : {in_fd, out_fd, err_fd, to_close}) close(fd);
    EXPECT_EQ(open_fds(), before);
  }
}

TEST_F(PosixBackendTest, MergedErrorGoesToOutputAndErrorDescriptorIsClosed) {
  int out_fd = create("out.txt");
  int err_fd = create("err.txt");
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                  const_cast<char*>("echo out; echo err >&2"), nullptr};
  const char* message = nullptr;
  int code = 0;
  pid_t pid = spawn(PEX_MERGE_STDERR, argv, 0, out_fd, err_fd, -1, &message, &code);
  ASSERT_GT(pid, 0) << message;
  EXPECT_EQ(fd_flags(out_fd), -1);
  EXPECT_EQ(fd_flags(err_fd), -1);
  int status = -1;
  ASSERT_EQ(wait(pid, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(path("out.txt")), "out\nerr\n");
  EXPECT_EQ(read_file(path("err.txt")), "");
}

TEST_F(PosixBackendTest, ClosedParentSlotIsClosedAgainAfterTheSpawn) {
  int in_fd = write_file("in.txt", "hello\n");
  int out_fd = create("out.txt");
  int saved_stdin = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved_stdin, 3);
  close(0);
  char* argv[] = {const_cast<char*>(PEX_TEST_HELPER), const_cast<char*>("cat"), nullptr};
  const char* message = nullptr;
  int code = 0;
  pid_t pid = spawn(0, argv, in_fd, out_fd, 2, -1, &message, &code);
  int slot0_flags = fd_flags(0);
  int in_flags = fd_flags(in_fd);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  ASSERT_GT(pid, 0) << message;
  EXPECT_EQ(slot0_flags, -1);
  EXPECT_EQ(in_flags, -1);
  int status = -1;
  ASSERT_EQ(wait(pid, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(path("out.txt")), "hello\n");
}

TEST_F(PosixBackendTest, ToCloseIsHiddenFromTheChildAndKeepsItsFlags) {
  for (int initial_flags : {0, FD_CLOEXEC}) {
    SCOPED_TRACE(initial_flags);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFD, initial_flags);
    int in_fd = open("/dev/null", O_RDONLY);
    int out_fd = create("out.txt");
    std::string list = path("fds.txt");
    char* argv[] = {const_cast<char*>(PEX_TEST_HELPER), const_cast<char*>("fds"),
                    const_cast<char*>(list.c_str()), nullptr};
    const char* message = nullptr;
    int code = 0;
    pid_t pid = spawn(0, argv, in_fd, out_fd, 2, fds[0], &message, &code);
    ASSERT_GT(pid, 0) << message;
    EXPECT_EQ(fd_flags(fds[0]), initial_flags);
    int status = -1;
    ASSERT_EQ(wait(pid, &status), 0);
    EXPECT_EQ(status, 0);
    std::set<int> seen = pex_testing::read_fd_list(list);
    EXPECT_EQ(seen.count(fds[0]), 0u);
    close(fds[0]);
    close(fds[1]);
  }
}

int interruptions = 0;
void count_interruption(int) {
  ++interruptions;
}

TEST_F(PosixBackendTest, WaitOutlastsSignalsAndReportsFailures) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = count_interruption;
  action.sa_flags = 0;  // no restart: the wait itself sees EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  for (bool with_times : {false, true}) {
    SCOPED_TRACE(with_times);
    interruptions = 0;
    char* argv[] = {const_cast<char*>(PEX_TEST_HELPER), const_cast<char*>("signal-parent"),
                    const_cast<char*>("7"), nullptr};
    const char* message = nullptr;
    int code = 0;
    pid_t pid = spawn(0, argv, 0, 1, 2, -1, &message, &code);
    ASSERT_GT(pid, 0) << message;
    int status = -1;
    pex_child_times times{};
    EXPECT_EQ(wait(pid, &status, with_times ? &times : nullptr), 0);
    EXPECT_EQ(status, 7 << 8);
    EXPECT_EQ(interruptions, 1);
  }
  sigaction(SIGUSR1, &previous, nullptr);

  // Not a child of ours.
  int status = 12345;
  pex_child_times times{9, 9, 9, 9};
  const char* message = nullptr;
  int code = 0;
  EXPECT_EQ(ops_->wait_for_child(pipeline_, getppid(), &status, &times, 0, &message, &code), -1);
  EXPECT_STREQ(message, "wait");
  EXPECT_EQ(code, ECHILD);
  EXPECT_EQ(times.user_secs + times.user_micros + times.system_secs + times.system_micros, 0);
}

TEST_F(PosixBackendTest, KillFirstTerminatesTheChild) {
  char* argv[] = {const_cast<char*>(PEX_TEST_HELPER), const_cast<char*>("pause"), nullptr};
  const char* message = nullptr;
  int code = 0;
  pid_t pid = spawn(0, argv, 0, 1, 2, -1, &message, &code);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(wait(pid, &status, nullptr, 1), 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST_F(PosixBackendTest, FilesAndStreams) {
  mode_t old_mask = umask(022);
  for (int binary : {0, 1}) {
    SCOPED_TRACE(binary);
    std::string name = path("made.txt");
    remove(name.c_str());
    int fd = ops_->open_for_writing(pipeline_, name.c_str(), binary);
    ASSERT_GE(fd, 0);
    struct stat info;
    fstat(fd, &info);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(write(fd, "long contents", 13), 13);
    close(fd);
    fd = ops_->open_for_writing(pipeline_, name.c_str(), binary);
    close(fd);
    EXPECT_EQ(read_file(name), "");
  }
  umask(old_mask);
  errno = 0;
  EXPECT_LT(ops_->open_for_reading(pipeline_, path("missing").c_str(), 0), 0);
  EXPECT_EQ(errno, ENOENT);

  // Pipe ends are close-on-exec, except one that lands in a standard slot and
  // so stands for it.
  int saved_stdin = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved_stdin, 3);
  close(0);
  int fds[2];
  int made = ops_->create_pipe(pipeline_, fds, 0);
  int slot_end_flags = fd_flags(0);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  ASSERT_EQ(made, 0);
  EXPECT_EQ(fds[0], 0);
  EXPECT_EQ(slot_end_flags, 0);
  EXPECT_EQ(fd_flags(fds[1]), FD_CLOEXEC);
  close(fds[1]);
  ASSERT_EQ(ops_->create_pipe(pipeline_, fds, 1), 0);
  EXPECT_EQ(fd_flags(fds[0]), FD_CLOEXEC);
  EXPECT_EQ(fd_flags(fds[1]), FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, 0);
  fcntl(fds[0], F_SETFD, 0);
  FILE* writer = ops_->stream_for_writing(pipeline_, fds[1], 0);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(fd_flags(fds[1]), FD_CLOEXEC);
  FILE* reader = ops_->stream_for_reading(pipeline_, fds[0], 1);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(fd_flags(fds[0]), 0);
  fputs("through", writer);
  fclose(writer);
  char buffer[16] = {};
  EXPECT_STREQ(fgets(buffer, sizeof buffer, reader), "through");
  fclose(reader);

  errno = 0;
  EXPECT_EQ(ops_->stream_for_writing(pipeline_, 950, 0), nullptr);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
