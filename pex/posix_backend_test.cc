// The POSIX back end's slots on their own, with real descriptors and children,
// and the spawn primitive replaced where the schedule or the state at the
// moment of the spawn is what matters.
#include "pex/posix_backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pex/test_support.h"

extern char** environ;

namespace {

using pex_testing::fd_flags;
using pex_testing::file_identity;
using pex_testing::open_fds;
using pex_testing::standard_slots;

// Every open descriptor with its flags and its file.
using fd_state = std::map<int, std::pair<int, std::pair<dev_t, ino_t>>>;
fd_state all_fds() {
  fd_state state;
  for (int fd : open_fds()) state[fd] = {fd_flags(fd), file_identity(fd)};
  return state;
}

bool same_signals(const sigset_t& a, const sigset_t& b) {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&a, signal_number) != sigismember(&b, signal_number)) return false;
  }
  return true;
}

// What the spawn primitive saw.
struct spawn_record {
  fd_state fds;  // the parent's own, which the spawn never touches
  pex_child_plan plan;
  bool all_blocked;    // the process's own mask at the spawn
  bool child_mask_ok;  // the child's mask is the caller's
};

int scripted_primitive(pid_t* pid, const pex_child_plan* plan, const char** step);

// Replaces the spawn primitive and the pause for one scope, recording both.
struct scripted_spawn {
  explicit scripted_spawn(std::vector<int> to_return) : results(std::move(to_return)) {
    script = this;
    pex_spawn_primitive = scripted_primitive;
    pex_retry_pause = [](unsigned seconds) { script->pauses.push_back(seconds); };
  }
  ~scripted_spawn() {
    pex_spawn_primitive = saved_spawn;
    pex_retry_pause = saved_pause;
    script = nullptr;
  }
  std::vector<int> results;  // error numbers; 0 succeeds with pid 4242, -1 with pid 0
  size_t attempts = 0;
  std::vector<unsigned> pauses;
  std::vector<spawn_record> records;
  sigset_t caller_mask;
  pex_spawn_function saved_spawn = pex_spawn_primitive;
  void (*saved_pause)(unsigned) = pex_retry_pause;
  static inline scripted_spawn* script = nullptr;
};

int scripted_primitive(pid_t* pid, const pex_child_plan* plan, const char** step) {
  scripted_spawn* script = scripted_spawn::script;
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  script->records.push_back({all_fds(), *plan, sigismember(&now, SIGTERM) == 1,
                             same_signals(*plan->child_mask, script->caller_mask)});
  int result = script->results.at(script->attempts++);
  if (result == -1) {  // "succeeds" without a process id
    errno = ENOMEM;
    *pid = 0;
    return 0;
  }
  if (result == 0) *pid = 4242;
  if (result == EBADF) *step = "dup2";
  return result;
}

class PosixBackendTest : public testing::Test {
 protected:
  ~PosixBackendTest() override { pex_destroy(pipeline_); }
  std::string path(const char* name) const { return dir_.path(name); }
  int create(const char* name) { return ops_->open_for_writing(pipeline_, path(name).c_str(), 0); }
  int open_text(const char* name, const char* text) {
    int fd = create(name);
    EXPECT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    close(fd);
    return ops_->open_for_reading(pipeline_, path(name).c_str(), 0);
  }
  pid_t spawn(int flags, std::vector<std::string> words, int in_fd, int out_fd, int err_fd,
              int to_close = -1, char* const* environment = nullptr) {
    if (words[0] == "helper") words[0] = PEX_TEST_HELPER;
    argv_words argv(std::move(words));
    message_ = nullptr;
    code_ = 0;
    return ops_->spawn_child(pipeline_, flags, argv[0], argv, environment, in_fd, out_fd, err_fd,
                             to_close, &message_, &code_);
  }
  int wait(pid_t pid, int* status, pex_child_times* times = nullptr, int kill_first = 0) {
    return ops_->wait_for_child(pipeline_, pid, status, times, kill_first, &message_, &code_);
  }
  int finished(pid_t pid, pex_child_times* times = nullptr) {
    int status = -1;
    EXPECT_EQ(wait(pid, &status, times), 0) << message_;
    return status;
  }
  // Runs `during` with the parent's descriptor 0 closed, or holding a
  // close-on-exec copy of `fd`, then puts it back.
  template <typename F>
  static void with_slot0_closed(F during, int fd = -1) {
    int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(saved, 3);
    if (fd < 0) close(0);
    if (fd >= 0) dup3(fd, 0, O_CLOEXEC);
    during();
    dup2(saved, 0);
    close(saved);
  }

  temp_dir dir_;
  pex_pipeline* pipeline_ = pex_create_posix(0, "test", nullptr);
  const pex_backend_ops* ops_ = pipeline_->ops;
  const char* message_ = nullptr;
  int code_ = 0;
};

// Four attempts at most, pauses of 2, 4 and 8 seconds, only on EAGAIN. The
// wrappers' case (descriptors 0, 1, 2 and nothing to keep from the child)
// touches no descriptor at all.
TEST_F(PosixBackendTest, SpawnRetriesOnlyOnEagain) {
  struct Case {
    std::vector<int> results;
    bool path_search;
    pid_t pid;
    const char* message;  // what the last failed attempt left behind
    int code;
    std::vector<unsigned> pauses;
  };
  const Case cases[] = {
      {{EAGAIN, EAGAIN, EAGAIN, EAGAIN}, true, -1, "spawn", EAGAIN, {2, 4, 8}},
      {{ENOENT}, false, -1, "spawn", ENOENT, {}},
      {{EAGAIN, EAGAIN, 0}, true, 4242, "spawn", EAGAIN, {2, 4}},
      {{0}, false, 4242, nullptr, 0, {}},
      {{-1}, true, -1, "spawn", ENOMEM, {}},
      {{EBADF}, false, -1, "dup2", EBADF, {}},
  };
  char* environment[] = {const_cast<char*>("A=1"), nullptr};
  // The caller's mask, with one signal of its own blocked, is the child's and
  // is back afterwards; the hook hears of a started child while all is held.
  static std::vector<std::pair<pid_t, bool>> started;
  pex_child_started = [](pid_t pid) {
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    started.push_back({pid, sigismember(&now, SIGTERM) == 1});
  };
  sigset_t usr2, caller_mask;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  sigprocmask(SIG_BLOCK, &usr2, &caller_mask);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.results));
    scripted_spawn s(c.results);
    started.clear();
    sigprocmask(SIG_BLOCK, nullptr, &s.caller_mask);
    fd_state before = all_fds();
    // A given environment goes through as is; none stands for the parent's.
    EXPECT_EQ(spawn(PEX_FINAL_STAGE | (c.path_search ? PEX_PATH_SEARCH : 0), {"true"}, 0, 1, 2, -1,
                    c.path_search ? nullptr : environment),
              c.pid);
    EXPECT_EQ(s.attempts, c.results.size());
    EXPECT_EQ(s.pauses, c.pauses);
    EXPECT_STREQ(message_, c.message);
    EXPECT_EQ(code_, c.code);
    for (const spawn_record& record : s.records) {
      EXPECT_EQ(record.fds, before);
      EXPECT_EQ(record.plan.path_search, c.path_search);
      EXPECT_EQ(record.plan.environment, c.path_search ? environ : environment);
      EXPECT_EQ(std::vector<int>(record.plan.fds, record.plan.fds + 3),
                (std::vector<int>{0, 1, 2}));
      EXPECT_EQ(record.plan.to_close, -1);
      EXPECT_TRUE(record.all_blocked);
      EXPECT_TRUE(record.child_mask_ok);
    }
    EXPECT_EQ(all_fds(), before);
    EXPECT_EQ(started, (c.pid > 0 ? decltype(started){{c.pid, true}} : decltype(started){}));
    sigset_t after;
    sigprocmask(SIG_BLOCK, nullptr, &after);
    EXPECT_TRUE(same_signals(after, s.caller_mask));
  }
  pex_child_started = nullptr;
  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
}

// The child places the stage's descriptors; the parent's own slots, their
// flags and to_close stay as they were, and ours above the slots are closed
// after a start. In the child, a descriptor already in its slot is inherited
// though the parent marked it close-on-exec, one below its slot outlives the
// placing of the slot it sits in, and to_close is not there.
TEST_F(PosixBackendTest, ChildPlacesTheStageDescriptors) {
  enum { in_file = -2, out_file = -3, bad = 900 };
  struct Case {
    const char* what;
    int slot0;  // the parent's slot 0 for the spawn: closed, or a copy of in or out
    int in, out;
    const char* message;
    int code;
  };
  const Case cases[] = {
      {"files", 0, in_file, out_file, nullptr, 0},
      {"slot 0 closed", -1, in_file, out_file, nullptr, 0},
      {"input in its slot", in_file, 0, out_file, nullptr, 0},
      {"output below its slot", out_file, in_file, 0, nullptr, 0},
      {"input left closed", 0, -1, out_file, nullptr, 0},
      {"cannot be placed", 0, bad, out_file, "dup2", EBADF},
  };
  pex_testing::cloexec_guard stdin_inheritable(0, 0);
  std::set<int> expected = {0, 1, 2};
  for (int fd : open_fds())
    if ((fd_flags(fd) & FD_CLOEXEC) == 0) expected.insert(fd);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::set<int> before = open_fds();
    standard_slots slots_before;
    int files[] = {open_text("in.txt", "placed\n"), create("out.txt")};
    auto fd_of = [&](int stage_fd) { return stage_fd < -1 ? files[-2 - stage_fd] : stage_fd; };
    int to_close = open("/dev/null", O_RDONLY);  // inheritable
    pid_t pid = -1;
    with_slot0_closed(
        [&] {
          pid = spawn(0, {"helper", "fds", path("list").c_str()}, fd_of(c.in), fd_of(c.out), 2,
                      to_close);
        },
        c.slot0 == 0 ? 0 : fd_of(c.slot0));
    EXPECT_STREQ(message_, c.message);
    EXPECT_EQ(code_, c.code);
    EXPECT_EQ(standard_slots(), slots_before);
    EXPECT_EQ(fd_flags(to_close), 0);
    close(to_close);
    // What the engine would close: every file after a failure, else those it kept.
    for (int fd : files)
      if (c.message != nullptr || (fd != fd_of(c.in) && fd != fd_of(c.out))) close(fd);
    EXPECT_EQ(open_fds(), before);
    if (c.message == nullptr) {
      ASSERT_GT(pid, 0);
      EXPECT_EQ(finished(pid), 0);
      std::set<int> listed = expected;
      if (c.in == -1) listed.erase(0);
      EXPECT_EQ(read_file(path("out.txt")), c.in == -1 ? "" : "placed\n");
      EXPECT_EQ(pex_testing::read_fd_list(path("list")), listed);
    } else {
      EXPECT_EQ(pid, -1);
      EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // the failed child is reaped
    }
  }
}

enum machine_setting { as_is, pid_namespace, no_vm_clone, one_spare_fd };

// Makes this process's machine differ; false where the kernel refuses it.
bool make_machine_differ(machine_setting setting) {
  // A sandbox may refuse clone with CLONE_VM, as some do.
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // the low half
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_VM, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  int free_fd = 0;  // one left for the helper's loader, none for a pipe
  while (fcntl(free_fd, F_GETFD) >= 0) ++free_fd;
  rlimit limit = {static_cast<rlim_t>(free_fd) + 1, static_cast<rlim_t>(free_fd) + 1};
  switch (setting) {
    case pid_namespace:
      return unshare(CLONE_NEWPID) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0;
    case no_vm_clone:
      return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
             prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
    case one_spare_fd:
      return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    default:
      return true;
  }
}

// Each row starts a program in a fresh child of the test that first makes the
// machine differ as the row says. The child exits with the program's status,
// 100 plus the errno of a failed start (its child reaped), or 77 where the
// kernel refused the row's setting. In `path`, each letter is a piece of the
// row's folder: a/prog may not be run, b/prog is the helper, b/s a script
// without "#!", p a file.
TEST_F(PosixBackendTest, StartsWhereTheMachineDiffers) {
  using words = std::vector<std::string>;
  struct Case {
    const char* what;
    machine_setting setting = as_is;
    const char* path = nullptr;  // "-" unsets PATH; null leaves it
    bool in_b = false;           // the current folder is b
    words command = {"prog", "exit", "7"};
    int status = 7;
  };
  const words helper = {"helper", "exit", "7"};
  const Case cases[] = {
      {.what = "children in another PID namespace", .setting = pid_namespace, .command = helper},
      // A shell: the sanitizers' leak check in the helper would need such a clone.
      {.what = "a clone that shares memory refused",
       .setting = no_vm_clone,
       .command = {"sh", "-c", "exit 7"}},
      {.what = "no descriptor to spare", .setting = one_spare_fd, .command = helper},
      {.what = "a script without #!", .path = "b", .command = {"s", "x", "y"}},
      {.what = "an empty PATH entry is the current folder", .path = "x:", .in_b = true},
      {.what = "only a file that may not be run", .path = "a", .status = 100 + EACCES},
      {.what = "a file that may not be run hides nothing", .path = "a:b"},
      {.what = "a plain file in PATH", .path = "p:b"},
      {.what = "PATH unset is not the current folder",
       .path = "-",
       .in_b = true,
       .status = 100 + ENOENT},
      {.what = "PATH unset is /bin:/usr/bin", .path = "-", .command = {"sh", "-c", "exit 7"}},
  };
  mkdir(path("a").c_str(), 0755);
  mkdir(path("b").c_str(), 0755);
  close(open_text("a/prog", "exit 9\n"));
  close(open_text("p", ""));
  close(open_text("b/s", "case $0 in */b/s) exit $(($# + 5));; esac; exit 1\n"));
  chmod(path("b/s").c_str(), 0755);
  ASSERT_EQ(symlink(PEX_TEST_HELPER, path("b/prog").c_str()), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string search;
    for (const char* piece = c.path; piece != nullptr && *piece != '\0'; ++piece)
      search += *piece == ':' ? std::string(":") : path(std::string(1, *piece).c_str());
    pid_t tester = fork();
    if (tester == 0) {
      if (!make_machine_differ(c.setting)) _exit(77);
      if (c.path != nullptr && c.path[0] == '-') unsetenv("PATH");
      if (c.path != nullptr && c.path[0] != '-') setenv("PATH", search.c_str(), 1);
      if (c.in_b && chdir(path("b").c_str()) != 0) _exit(99);
      pid_t pid = spawn(PEX_PATH_SEARCH, c.command, 0, 1, 2);
      int status = 0;
      if (pid < 0) _exit(waitpid(-1, nullptr, WNOHANG) < 0 ? 100 + code_ : 99);
      _exit(wait(pid, &status) == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
      printf("note: not tried here, the kernel refused it: %s\n", c.what);
      continue;
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
  }
}

TEST_F(PosixBackendTest, MergedErrorGoesToOutputAndErrorDescriptorIsClosed) {
  int out_fd = create("out.txt"), err_fd = create("err.txt");
  pid_t pid =
      spawn(PEX_MERGE_STDERR, {"/bin/sh", "-c", "echo out; echo err >&2"}, 0, out_fd, err_fd);
  ASSERT_GT(pid, 0) << message_;
  EXPECT_EQ(fd_flags(out_fd), -1);
  EXPECT_EQ(fd_flags(err_fd), -1);
  EXPECT_EQ(finished(pid), 0);
  EXPECT_EQ(read_file(path("out.txt")), "out\nerr\n");
  EXPECT_EQ(read_file(path("err.txt")), "");
}

int interruptions = 0;

// A signal that interrupts the wait does not lose the child; a wait that
// fails reports "wait" with zero times; kill_first sends SIGTERM.
TEST_F(PosixBackendTest, WaitOutlastsSignalsAndReportsFailures) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) { ++interruptions; };
  action.sa_flags = 0;  // no restart: the wait itself sees EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  // Last, the wait of the ended-child hook is the one interrupted; the hook runs once.
  static int ended_calls;
  for (int round : {0, 1, 2}) {
    bool with_times = round == 1;
    SCOPED_TRACE(round);
    interruptions = 0;
    ended_calls = 0;
    pid_t pid = spawn(0, {"helper", "signal-parent", "7"}, 0, 1, 2);
    ASSERT_GT(pid, 0) << message_;
    pex_child_times times{};
    pex_child_ended = round == 2 ? +[](pid_t) { ++ended_calls; } : nullptr;
    EXPECT_EQ(finished(pid, with_times ? &times : nullptr), 7 << 8);
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(ended_calls, round == 2 ? 1 : 0);
  }
  pex_child_ended = nullptr;
  sigaction(SIGUSR1, &previous, nullptr);

  int status = 12345;
  pex_child_times times{9, 9, 9, 9};
  EXPECT_EQ(wait(getppid(), &status, &times), -1);  // not a child of ours
  EXPECT_STREQ(message_, "wait");
  EXPECT_EQ(code_, ECHILD);
  EXPECT_EQ(times.user_secs | times.user_micros | times.system_secs | times.system_micros, 0);

  // A caller that tracks its children hears of this one once it has ended,
  // while it is not yet reaped and with every signal held.
  static std::vector<std::pair<pid_t, bool>> ended;
  pex_child_ended = [](pid_t child) {
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    siginfo_t info{};
    bool unreaped =
        waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child;
    ended.push_back({child, unreaped && sigismember(&now, SIGTERM) == 1});
  };
  pid_t pid = spawn(0, {"helper", "pause"}, 0, 1, 2);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(wait(pid, &status, nullptr, 1), 0);
  pex_child_ended = nullptr;
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(ended, (std::vector<std::pair<pid_t, bool>>{{pid, true}}));
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  EXPECT_EQ(sigismember(&now, SIGTERM), 0);
}

// Output files are created 0666 less the umask and truncated; pipe ends and
// opened files are close-on-exec and never land in a standard slot, where they
// would pass for the caller's own stream; the writing stream makes its end
// close-on-exec.
TEST_F(PosixBackendTest, FilesAndStreams) {
  std::string name = path("made.txt");
  for (mode_t mask : {022, 0, 002}) {
    remove(name.c_str());
    mode_t old_mask = umask(mask);
    int fd = ops_->open_for_writing(pipeline_, name.c_str(), 1);
    umask(old_mask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd_flags(fd), FD_CLOEXEC);
    struct stat info;
    fstat(fd, &info);
    EXPECT_EQ(info.st_mode & 0777, 0666u & ~mask);
    ASSERT_EQ(write(fd, "long contents", 13), 13);
    close(fd);
  }
  close(ops_->open_for_writing(pipeline_, name.c_str(), 0));
  EXPECT_EQ(read_file(name), "");
  int reading = ops_->open_for_reading(pipeline_, name.c_str(), 0);
  EXPECT_EQ(fd_flags(reading), FD_CLOEXEC);
  close(reading);

  int fds[2], made = -1, opened = -1, slot0_flags = 0;
  with_slot0_closed([&] {
    int saved1 = fcntl(1, F_DUPFD_CLOEXEC, 3);  // so both ends would land low
    close(1);
    made = ops_->create_pipe(pipeline_, fds, 0);
    dup2(saved1, 1);
    close(saved1);
    opened = ops_->open_for_reading(pipeline_, name.c_str(), 0);
    slot0_flags = fd_flags(0);
  });
  ASSERT_EQ(made, 0);
  EXPECT_EQ(slot0_flags, -1);
  for (int ours : {fds[0], fds[1], opened}) {
    EXPECT_GT(ours, 2);
    EXPECT_EQ(fd_flags(ours), FD_CLOEXEC);
    close(ours);
  }

  // With 0 and one more the only free descriptors, the pipe's move out of
  // slot 0 fails (EMFILE); its other end must not stay open.
  rlimit limits;
  getrlimit(RLIMIT_NOFILE, &limits);
  std::set<int> before;
  with_slot0_closed([&] {
    before = open_fds();
    int last_free = 3;
    while (before.count(last_free) != 0) ++last_free;
    rlimit tight = {static_cast<rlim_t>(last_free) + 1, limits.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
    made = ops_->create_pipe(pipeline_, fds, 0);
    EXPECT_EQ(errno, EMFILE);
    setrlimit(RLIMIT_NOFILE, &limits);
    EXPECT_EQ(open_fds(), before);
  });
  EXPECT_EQ(made, -1);

  ASSERT_EQ(ops_->create_pipe(pipeline_, fds, 1), 0);
  EXPECT_EQ(fd_flags(fds[0]), FD_CLOEXEC);
  EXPECT_EQ(fd_flags(fds[1]), FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, 0);
  FILE* writer = ops_->stream_for_writing(pipeline_, fds[1], 0);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(fd_flags(fds[1]), FD_CLOEXEC);
  FILE* reader = ops_->stream_for_reading(pipeline_, fds[0], 1);
  ASSERT_NE(reader, nullptr);
  fputs("through", writer);
  fclose(writer);
  char buffer[16] = {};
  EXPECT_STREQ(fgets(buffer, sizeof buffer, reader), "through");
  fclose(reader);
}

}  // namespace
