// End-to-end tests on POSIX hosts: the launcher of the shared cases and their
// POSIX rows, and what only POSIX has: signals, cores, /proc, descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <tuple>

#include "driver/config.h"
#include "driver/end_to_end_test.h"
#include "driver/response_file.h"
#include "driver/tool_signals.h"
#include "driver/wrapper.h"
#include "pex/pex.h"
#include "pex/posix_backend.h"
#include "support/test_emulation.h"

namespace {

// Bit n-1 for signal n, as the stand-in tool reports signal sets.
unsigned long long signal_bits(const std::vector<int>& signals) {
  unsigned long long bits = 0;
  for (int n : signals) bits |= 1ull << (n - 1);
  return bits;
}

// The sanitizer runtime cannot start without /proc.
constexpr bool can_hide_proc = !sanitized;

// The stack limit before bound_wrapper_starts lowered it, back at TearDown.
rlimit saved_stack;
bool stack_bounded = false;

// Starts the program with standard output on out_fd; it inherits exactly
// the descriptors, signal dispositions and mask the options describe.
pid_t start(run_options& options, int out_fd, const fs::path& scratch) {
  if (options.cwd.empty()) options.cwd = scratch.string();
  fs::path in = scratch / "stdin", err = scratch / "stderr";
  write_file(in, options.input, fs::perms(0644));
  argv_words argv(options.argv), env(options.env);
  // What this system cannot start, a program of the emulated kind, starts
  // through the emulator, which hands it argv[0] as given.
  Strings emulated{test_emulator, "-0", options.argv.empty() ? "" : options.argv[0],
                   options.program};
  std::vector<char*> emulated_argv;
  for (std::string& s : emulated) emulated_argv.push_back(s.data());
  emulated_argv.insert(emulated_argv.end(), argv.pointers.begin() + (options.argv.empty() ? 0 : 1),
                       argv.pointers.end());
  pid_t test_pid = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // A program still running when the test process is killed dies with it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test_pid) _exit(126);
    if (options.terminal >= 0 && (setsid() < 0 || ioctl(options.terminal, TIOCSCTTY, 0) != 0))
      _exit(124);
    int in_fd = open(in.c_str(), O_RDONLY);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0 || chdir(options.cwd.c_str()) != 0)
      _exit(126);
    closefrom(3);
    // A response file would lift the bound: the one that would hold the
    // bounding arguments cannot be written.
    rlimit no_big_files = {1 << 16, 1 << 16};
    if (stack_bounded && setrlimit(RLIMIT_FSIZE, &no_big_files) != 0) _exit(126);
    for (int fd : options.closed) close(fd);
    sigset_t mask;
    sigemptyset(&mask);
    for (int n : options.blocked) sigaddset(&mask, n);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    // Whatever the test runner ignores (under nohup, say, or the C library's
    // own signals that make's posix_spawn left ignored) is not for the
    // program. The raw call reaches the signals the library's wrapper refuses;
    // all zeros is SIG_DFL with no flags and no mask in every layout.
    for (int n = 1; n < NSIG; ++n) {
      unsigned long long default_action[4] = {};
      syscall(SYS_rt_sigaction, n, default_action, nullptr, NSIG / 8);
    }
    for (int n : options.ignored) signal(n, SIG_IGN);
    // Its own mount namespace, private so that nothing reaches the test's.
    if (options.without_proc && (unshare(CLONE_NEWNS) != 0 ||
                                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                 mount("none", "/proc", "tmpfs", 0, nullptr) != 0))
      _exit(125);
    execve(options.program.c_str(), argv, env);
    if (errno == ENOEXEC && under_emulation) execve(test_emulator, emulated_argv.data(), env);
    _exit(127);
  }
  EXPECT_GT(pid, 0) << strerror(errno);
  return pid;
}

}  // namespace

void WrapperTest::SetUp() {
  ASSERT_NE(dir_.name, "");
  base_ = dir_.name;
  root_ = base_ / "tree";
  scratch_ = base_ / "scratch";
  fs::create_directories(scratch_);
  record_ = scratch_ / "record";
  // A test the runner kills (a timeout) never tears down. A process outside
  // the test's tree and session, which the runner's kill misses, removes the
  // directory once the test's end of this pipe is gone.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  pid_t starter = fork();
  if (starter == 0) {
    if (fork() != 0) _exit(0);
    setsid();
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);  // the runner's output pipe is let go
    close(ends[1]);
    char byte;
    while (read(ends[0], &byte, 1) < 0 && errno == EINTR) {
    }
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    _exit(0);
  }
  waitpid(starter, nullptr, 0);
  close(ends[0]);
  remover_end_ = ends[1];
}

void WrapperTest::TearDown() {
  if (stack_bounded) setrlimit(RLIMIT_STACK, &saved_stack), stack_bounded = false;
  fs::remove_all(base_);
  close(remover_end_);
}

run_outcome WrapperTest::run(run_options options) {
  fs::path out = scratch_ / "stdout";
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = start(options, out_fd, scratch_);
  close(out_fd);
  run_outcome outcome;
  if (pid <= 0) return outcome;
  int status;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status), outcome.core = WCOREDUMP(status);
  outcome.out = read_file(out);
  outcome.err = read_file(scratch_ / "stderr");
  return outcome;
}

// Bytes that are no text, a newline, and vectors beyond any Windows command line.
std::vector<Strings> WrapperTest::platform_argument_cases() {
  Strings many;
  for (int i = 0; i < 3000; ++i) many.push_back("arg" + std::to_string(i));
  return {{"", " spaced out ", "new\nline", "--plugin", "-", "\xff\xfe", "$HOME*?", "'\"\\"},
          {std::string(100000, 'x')},
          many};
}

// A caller that ignores SIGCHLD must not cost the tool's status.
std::vector<ExitCase> WrapperTest::platform_exit_cases() const {
  std::vector<ExitCase> cases;
  for (int code : {0, 1, 3, 127, 255})
    cases.push_back({"STAND_IN_EXIT=" + std::to_string(code), code, "", {SIGCHLD}});
  return cases;
}

// An empty entry is the current directory. An entry ending in a backslash
// gives a path with no '/': what runs is that very file, not one sought on
// PATH once more. A file that may not be run is passed over.
std::vector<PathCase> WrapperTest::platform_path_cases(const fs::path& dir,
                                                       const fs::path& holder) const {
  const fs::path unrunnable = base_ / "unrunnable";
  for (const std::string& tool : tools) {
    install_copy(STAND_IN_TOOL_PATH, holder / ("x\\" + prefixed(tool)));
    write_file(unrunnable / prefixed(tool), "", fs::perms(0644));
  }
  return {{"PATH=" + native(base_ / "nowhere") + "::" + native(dir), "./", true},
          {"PATH=x\\", "x\\", true},
          {"PATH=" + native(unrunnable) + ":" + native(dir), native(dir) + "/"}};
}

std::vector<TreeCase> WrapperTest::platform_tree_cases(const fs::path& moved) const {
  fs::create_directories(base_ / "links");
  fs::create_symlink(moved / "bin/vesk-nm", base_ / "links/vesk-nm");
  const std::string link = native(base_ / "links/vesk-nm");
  fs::create_symlink(base_ / "loop", base_ / "loop");
  const std::string decoy = native(base_ / "decoy/bin/vesk-nm");
  std::vector<TreeCase> cases = {
      {"symbolic link from elsewhere", moved, link, link},
      // argv[0] is believed only where it names the running program's file.
      {"argv0 naming no file", moved, "", "/no/such/dir/vesk-nm"},
      {"argv0 through a loop of links", moved, "", native(base_ / "loop/vesk-nm")},
      {"argv0 naming another file", moved, "", decoy},
      {"bare name through PATH", moved, "", "vesk-nm", {"PATH=/x::" + native(moved / "bin")}},
      {"relative and untidy path", moved, "", "moved here/tree/bin//./vesk-nm", {}, native(base_)},
  };
  // qemu-user hands on the last of two PATH entries, not the first. A hard
  // link on PATH is the running file in PATH's spelling, which leads to the
  // tree from a folder that holds none.
  fs::create_directories(base_ / "hard");
  fs::create_hard_link(moved / "bin/vesk-nm", base_ / "hard/vesk-nm");
  if (!under_emulation) {
    cases.push_back({"bare name on PATH, not the running file",
                     moved,
                     "",
                     "vesk-nm",
                     {"PATH=" + native(base_ / "decoy/bin")}});
    cases.push_back({"bare name on PATH, a hard link of the running file",
                     moved,
                     native(base_ / "hard/vesk-nm"),
                     "vesk-nm",
                     {"PATH=" + native(moved / "bin")}});
  }
  return cases;
}

// The arguments fill the start limit that this stack limit sets within a few
// dozen starts (and no response file can hold them: see start).
Strings WrapperTest::bound_wrapper_starts() {
  getrlimit(RLIMIT_STACK, &saved_stack);
  rlimit small = {1 << 20, saved_stack.rlim_max};
  stack_bounded = setrlimit(RLIMIT_STACK, &small) == 0;
  return Strings(2, std::string(125000, 'a'));
}

Strings WrapperTest::install_starter(const fs::path& path, const std::string& program) {
  write_file(path, "#!/bin/sh\n'" + program + "' \"$@\"\nexit $?\n", fs::perms(0755));
  return {};
}

namespace {

// A signal sent to the wrapper alone reaches the tool, the wrapper outlives
// the tool and ends by the same signal; ignored signals stay ignored, in the
// tool too, and the tool starts with the mask the wrapper inherited. A tool
// that counts a signal gets it once however it was sent: with the wrapper
// stopped meanwhile, the tool has its own copy in hand (or, holding it,
// pending) before the wrapper could pass one on.
TEST_F(WrapperTest, SignalsToTheWrapperAloneReachTheTool) {
  SKIP_UNDER_EMULATION(
      "qemu-user remaps the real-time signals (a host tool inherits 34 and 35 "
      "ignored, SIGRTMAX never arrives) and reports SIGQUIT itself");
  build_tree();
  enum Sender { plain, alone, group, terminal, killed, hangup };
  struct Case {
    std::vector<int> sent;
    std::vector<int> ignored = {};
    int ended_by;  // 0: the counting tool exits with its count, 1
    Sender sender = plain;
    bool hold = false;
    bool own_group = false;  // the tool leaves the wrapper's process group
  };
  const Case cases[] = {
      {.sent = {SIGTERM}, .ended_by = SIGTERM},
      {.sent = {SIGINT}, .ended_by = SIGINT},
      {.sent = {SIGQUIT}, .ended_by = SIGQUIT},
      {.sent = {SIGHUP}, .ended_by = SIGHUP},
      {.sent = {SIGHUP, SIGINT, SIGTERM}, .ignored = {SIGHUP, SIGINT}, .ended_by = SIGTERM},
      {.sent = {SIGUSR1}, .ended_by = SIGUSR1},
      {.sent = {SIGRTMAX}, .ended_by = SIGRTMAX},
      {.sent = {SIGALRM}, .ended_by = SIGALRM},
      {.sent = {SIGTRAP}, .ended_by = SIGTRAP},
      {.sent = {SIGTERM}, .ended_by = 0, .sender = alone},
      {.sent = {SIGINT}, .ended_by = 0, .sender = terminal},
      {.sent = {SIGRTMIN + 1}, .ended_by = 0, .sender = group, .hold = true},
      // Held blocked by the tool, a signal it has no copy of is still passed on.
      {.sent = {SIGRTMIN + 1}, .ended_by = 0, .sender = alone, .hold = true},
      // The hangup goes to the session leader alone; a tool outside the
      // terminal's group gets no Ctrl-C of its own.
      {.sent = {SIGHUP}, .ended_by = 0, .sender = hangup, .hold = true},
      {.sent = {SIGINT}, .ended_by = 0, .sender = terminal, .hold = true, .own_group = true},
      // A SIGKILL of the wrapper, which nobody can pass on, takes the tool
      // too, though it ignores SIGTERM.
      {.sent = {SIGKILL}, .ignored = {SIGHUP, SIGTERM}, .ended_by = SIGKILL, .sender = killed},
  };
  std::string program = (root_ / "bin/vesk-nm").string();
  Strings env = base_env();
  env.push_back("STAND_IN_PAUSE=1");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.sent));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    Strings run_env = env;
    if (c.sender != plain) run_env.push_back("STAND_IN_COUNT=" + std::to_string(c.sent[0]));
    if (c.hold) run_env.push_back("STAND_IN_HOLD=1");
    if (c.own_group) run_env.push_back("STAND_IN_OWN_GROUP=1");
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    run_options options{program, {program}, run_env, "", "", {}, c.ignored, {SIGUSR2}};
    options.terminal = slave;
    // Ends what a failed case leaves running: the paused tool never ends by itself.
    struct running {
      pid_t wrapper = 0, tool = 0;
      ~running() {
        if (tool > 0) kill(tool, SIGKILL);
        if (wrapper > 0 && kill(wrapper, SIGKILL) == 0) waitpid(wrapper, nullptr, 0);
      }
    } left;
    left.wrapper = start(options, out[1], scratch_);
    close(out[1]);
    char line[128] = {};
    for (size_t n = 0; n < sizeof line - 1 && read(out[0], line + n, 1) == 1 && line[n] != '\n';)
      ++n;
    int tool = 0;
    unsigned long long blocked = 0, ignored = 0;
    ASSERT_EQ(sscanf(line, "%d %llx %llx", &tool, &blocked, &ignored), 3) << line;
    left.tool = tool;
    int tool_fd = static_cast<int>(syscall(SYS_pidfd_open, tool, 0));
    EXPECT_EQ(blocked, signal_bits({SIGUSR2}));
    EXPECT_EQ(ignored, signal_bits(c.ignored));
    int status = 0;
    if (c.sender == plain || c.sender == killed) {
      for (int n : c.sent) kill(left.wrapper, n);
    } else {
      kill(left.wrapper, SIGSTOP);
      ASSERT_EQ(waitpid(left.wrapper, &status, WUNTRACED), left.wrapper);
      if (c.sender == terminal) {
        // The line discipline sends the signal before it echoes "^C".
        char echo[2];
        ASSERT_EQ(write(master, "\x03", 1), 1);
        ASSERT_EQ(read(master, echo, 2), 2);
      } else if (c.sender == hangup) {
        close(master);
        master = -1;
      } else {
        kill(c.sender == group ? -left.wrapper : left.wrapper, c.sent[0]);
      }
      char got[4];
      if (c.sender != alone && !c.hold) {
        ASSERT_EQ(read(out[0], got, 4), 4);
      }
      kill(left.wrapper, SIGCONT);
      kill(left.wrapper, SIGRTMAX);
    }
    ASSERT_EQ(waitpid(left.wrapper, &status, 0), left.wrapper);
    left.wrapper = 0;
    close(out[0]);
    close(slave);
    if (master >= 0) close(master);
    bool ended_so = c.ended_by == 0 ? WIFEXITED(status) && WEXITSTATUS(status) == 1
                                    : WIFSIGNALED(status) && WTERMSIG(status) == c.ended_by;
    EXPECT_TRUE(ended_so) << status;
    EXPECT_EQ(read_file(scratch_ / "stderr"), "");
    // The wrapper reaped the tool before it ended, or, killed, took it along
    // within a second: nothing is left behind.
    pollfd tool_end = {tool_fd, POLLIN, 0};
    bool tool_left = c.sender == killed ? poll(&tool_end, 1, 1000) != 1 : kill(tool, 0) == 0;
    close(tool_fd);
    EXPECT_FALSE(tool_left);
    if (!tool_left) left.tool = 0;
  }
}

TEST_F(WrapperTest, DeathBySignalIsReportedWithItsText) {
  build_tree();
  std::string tool = tool_dir(root_) + "nm";
  for (int number : {SIGKILL, SIGTERM, SIGABRT, SIGRTMIN}) {
    if (under_emulation && number == SIGRTMIN) continue;  // skipped below, visibly
    SCOPED_TRACE(number);
    run_outcome outcome = run_installed("nm", {}, {"STAND_IN_SIGNAL=" + std::to_string(number)});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, tool + " terminated with signal " + std::to_string(number) + " [" +
                               strsignal(number) + "]\n");
  }
  SKIP_UNDER_EMULATION("qemu-user renumbers a host tool's real-time signal; SIGRTMIN not run");
}

// The handlers in a process of their own. A signal with no tool yet, or after
// it was reaped, ends us the default way; one passed on to the tool (recorded
// as a number above the kernel's limit, which no process has) leaves us running
// however often it comes; when the tool died of it, core or not, we end by it
// too, without a core of ours.
TEST_F(WrapperTest, HandlersStandForTheTool) {
  enum Tool { none, reaped, recorded };
  struct Case {
    Tool tool;
    int sent, times, tool_status, ended_by;  // ended_by 0: we go on and exit 0
    bool own = false;                        // sent by the wrapper itself
  };
  const Case cases[] = {
      {none, SIGTERM, 1, 0, SIGTERM},
      {reaped, SIGINT, 1, 0, SIGINT},
      {recorded, SIGHUP, 2, 0, 0},
      {recorded, SIGQUIT, 1, 0x80 | SIGQUIT, SIGQUIT},
      {recorded, SIGTERM, 1, 0, SIGTERM, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto wrapper = [&] {
      rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
      if (chdir(scratch_.c_str()) != 0 || setrlimit(RLIMIT_CORE, &unlimited) != 0) _exit(2);
      pass_signals_to_tool();
      int status = 0, code = 0;
      char* tool_argv[] = {const_cast<char*>(STAND_IN_TOOL_PATH), nullptr};
      if (c.tool == reaped)
        pex_run_single(PEX_FINAL_STAGE, tool_argv[0], tool_argv, "t", nullptr, nullptr, &status,
                       &code);
      if (c.tool == recorded) pex_child_started(1 << 22);
      // As from another process: one the wrapper sends itself is its own to die of.
      siginfo_t from_outside = {};
      from_outside.si_signo = c.sent;
      from_outside.si_code = SI_QUEUE;
      from_outside.si_pid = c.own ? getpid() : getppid();
      for (int i = 0; i < c.times; ++i)
        syscall(SYS_rt_sigqueueinfo, getpid(), c.sent, &from_outside);
      end_like_tool(pex_outcome_of(c.tool_status).signal);
      exit(0);
    };
    EXPECT_EXIT(
        wrapper(),
        [&](int status) {
          return c.ended_by == 0
                     ? status == 0
                     : WIFSIGNALED(status) && WTERMSIG(status) == c.ended_by && !WCOREDUMP(status);
        },
        "");
  }
}

// Whether a core is written depends on the machine; the tool run directly tells.
TEST_F(WrapperTest, CoreDumpIsNamedWhenTheToolDumpedCore) {
  build_tree();
  Strings env =
      joined({"STAND_IN_SIGNAL=" + std::to_string(SIGSEGV), "STAND_IN_CORE=1"}, base_env());
  std::string tool = tool_dir(root_) + "nm";
  // Cores land in the scratch directory, the working directory of both runs.
  run_outcome direct = run({tool, {tool}, env});
  ASSERT_EQ(direct.signal, SIGSEGV);
  std::string suffix = direct.core ? ", core dumped" : "";

  run_outcome outcome = run({program(), {program()}, env});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err,
            tool + " terminated with signal 11 [" + strsignal(SIGSEGV) + "]" + suffix + "\n");
}

TEST_F(WrapperTest, MissingPluginEndsBeforeTheToolIsSought) {
  build_tree(/*with_plugin=*/false);
  struct Case {
    std::string argv0;
    std::string printed;
    bool without_tool = false;  // the plugin is sought first, so its message wins
  };
  std::string path = (root_ / "bin/vesk-nm").string();
  const Case cases[] = {
      {path, path},
      {root_.string() + "/bin/./vesk-nm", root_.string() + "/bin/./vesk-nm"},
      {"", own_program_name},  // what this kernel hands over for an empty argument vector
      {path, path, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv0 + (c.without_tool ? " without the tool" : ""));
    if (c.without_tool) fs::remove(tool_dir(root_) + "nm");
    run_outcome outcome = run({path, {c.argv0}, base_env(), "", "", {}});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, c.printed + ": Cannot find plugin '" + plugin_file_name + "'\n");
    EXPECT_FALSE(tool_ran());
  }
}

// A symbolic link is known for what it leads to. Where /proc is missing the
// program knows itself by the path it was started by; without a name of its
// own to print, it prints its own name.
TEST_F(WrapperTest, ToolThatIsTheWrapperIsRefusedThroughALinkWithoutProcOrName) {
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  std::string program = (root_ / "bin/vesk-nm").string(), in_tree = tool_dir(root_) + "nm";
  fs::create_symlink(program, in_tree);
  EXPECT_EQ(run_installed("nm", {}).err,
            program + ": Cannot run '" + in_tree + "': it is this program itself\n");
  fs::remove(in_tree);
  fs::path on_path = base_ / "cross-bin" / prefixed("nm");
  fs::create_directories(on_path.parent_path());
  fs::create_hard_link(program, on_path);
  Strings env{"PATH=" + on_path.parent_path().string()};
  // The sanitizer runtime cannot start without /proc.
#if !defined(__SANITIZE_ADDRESS__)
  run_options without_proc{program, {program}, env};
  without_proc.without_proc = true;
  run_outcome outcome = run(without_proc);
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err,
            program + ": Cannot run '" + on_path.string() + "': it is this program itself\n");
#endif
  env.push_back("VESK_EXEC_PREFIX=" + (root_ / "bin/").string());
  run_outcome nameless = run({program, {""}, env});
  EXPECT_EQ(nameless.err, std::string(own_program_name) + ": Cannot run '" + on_path.string() +
                              "': it is this program itself\n");
}

// Through symbolic links or a script, the wrapper a tool leads back to
// refuses at once, naming the file that led back, and nothing runs.
TEST_F(WrapperTest, ToolThatLeadsBackThroughLinksOrScriptsIsRefused) {
  SKIP_UNDER_EMULATION(a_wrapper_that_starts_a_wrapper);
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  std::string bin = (root_ / "bin/").string(), nm = tool_dir(root_) + "nm";
  std::string ranlib = tool_dir(root_) + "ranlib";
  Strings args = bound_wrapper_starts();
  struct Case {
    std::string nm;      // a script when it starts with "#!", else a link target
    std::string ranlib;  // a link target; empty for the stand-in tool
    std::string refuser;
  };
  const Case cases[] = {
      {"#!" + bin + "vesk-nm\n", "", bin + "vesk-nm"},
      {bin + "vesk-ranlib", bin + "vesk-nm", nm},
      {bin + "vesk-ranlib", "", nm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nm + " " + c.ranlib);
    fs::remove(nm), fs::remove(ranlib), fs::remove(record_);
    if (c.nm.rfind("#!", 0) == 0)
      write_file(nm, c.nm, fs::perms(0755));
    else
      fs::create_symlink(c.nm, nm);
    if (c.ranlib.empty())
      install_copy(STAND_IN_TOOL_PATH, ranlib);
    else
      fs::create_symlink(c.ranlib, ranlib);
    // What the caller left in the variable does not hide the entries after it.
    run_outcome outcome = run_installed("nm", args, {"VESK_WRAPPER_CHAIN=junk"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, c.refuser + ": Cannot run '" + nm +
                               "': it leads back to a wrapper of this installation\n");
    EXPECT_FALSE(tool_ran());
  }
  // Where /proc cannot tell, a wrapper that waits further up (here above the
  // starter script) still counts.
  if (can_hide_proc) {
    fs::remove(nm);
    install_starter(nm, bin + "vesk-nm");
    run_options without_proc{bin + "vesk-nm", joined({bin + "vesk-nm"}, args), base_env()};
    without_proc.without_proc = true;
    EXPECT_EQ(run(without_proc).err, bin + "vesk-nm: Cannot run '" + nm +
                                         "': it leads back to a wrapper of this installation\n");
  }
  setrlimit(RLIMIT_STACK, &saved_stack);
  stack_bounded = false;

  // A chain naming a wrapper of this tree that has ended is passed over.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  struct stat plugin;
  ASSERT_EQ(stat(plugin_path(root_).c_str(), &plugin), 0);
  // Inherited at the size limit of one variable, padded with entries of
  // wrappers that have ended, the chain passed on keeps only the wrappers that
  // wait, so it cannot overflow.
  std::ostringstream chain;
  chain << std::hex << "VESK_WRAPPER_CHAIN=" << gone << ":" << plugin.st_dev << ":" << plugin.st_ino
        << ";" << nm;
  fs::remove(nm);
  install_copy(STAND_IN_TOOL_PATH, nm);
  std::ostringstream ended_entry;
  ended_entry << std::hex << gone << ":" << plugin.st_dev << ":" << plugin.st_ino << ",";
  std::string padded = chain.str(), padding;
  while (padded.size() + padding.size() + ended_entry.str().size() <= 131071)
    padding += ended_entry.str();
  padding.insert(0, 131071 - padded.size() - padding.size(), '0');  // the same first number
  padded.insert(padded.find('=') + 1, padding);
  EXPECT_EQ(run_installed("nm", {}, {padded}).exit_code, 0);
  EXPECT_TRUE(tool_ran());
  // So is one that lives but does not wait above: a sibling.
  int hold[2];
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  pid_t sibling = fork();
  if (sibling == 0) {
    char byte;
    close(hold[1]);
    _exit(static_cast<int>(read(hold[0], &byte, 1)));
  }
  close(hold[0]);
  std::ostringstream live;
  live << std::hex << "VESK_WRAPPER_CHAIN=" << sibling << ":" << plugin.st_dev << ":"
       << plugin.st_ino << ";" << nm;
  EXPECT_EQ(run_installed("nm", {}, {live.str()}).exit_code, 0);
  close(hold[1]);
  waitpid(sibling, nullptr, 0);
  // Capitals read as well; process 0 is nobody's, even where /proc cannot
  // tell; without its ';' the chain names no file, and nothing past it is read.
  std::ostringstream waiting, zero;
  waiting << std::hex << std::uppercase << getpid() << ":" << plugin.st_dev << ":" << plugin.st_ino;
  zero << std::hex << "0:" << plugin.st_dev << ":" << plugin.st_ino << ";x";
  // Past 16 digits, a number read modulo 2^64 would be this test's own.
  std::ostringstream overlong;
  overlong << std::hex << "1" << std::setw(16) << std::setfill('0') << getpid() << ":"
           << plugin.st_dev << ":" << plugin.st_ino << ";x";
  const std::tuple<std::string, bool, std::string> chains[] = {
      {overlong.str(), false, ""},
      {waiting.str() + "xyz;x", false, ""},
      {waiting.str() + ";x", false,
       bin + "vesk-nm: Cannot run 'x': it leads back to a wrapper of this installation\n"},
      {zero.str(), true, ""},
      {waiting.str(), false, ""},
  };
  for (const auto& [value, without_proc, err] : chains) {
    SCOPED_TRACE(value);
    if (without_proc && !can_hide_proc) continue;
    run_options options{
        bin + "vesk-nm", {bin + "vesk-nm"}, joined({"VESK_WRAPPER_CHAIN=" + value}, base_env())};
    options.without_proc = without_proc;
    EXPECT_EQ(run(options).err, err);
  }

  // The tool's environment is the wrapper's, the chain in its slot or added
  // last, naming this wrapper's process and tree; near misses and duplicates
  // pass as they are.
  std::string environment = (scratch_ / "environment").string();
  const Strings inherited[] = {
      {},
      {"PATHX=/nowhere", "VESK_WRAPPER_CHAINX=1", "VESK_WRAPPER_CHAIN=junk", "DUP=1", "DUP=2"},
  };
  for (const Strings& extra : inherited) {
    Strings env = joined(base_env(), extra);
    env.push_back("STAND_IN_ENVIRONMENT=" + environment);
    std::string program = bin + "vesk-nm";
    run_options options{program, {program}, env};
    int out_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = start(options, out_fd, scratch_);
    close(out_fd);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    std::ostringstream entry;
    entry << std::hex << "VESK_WRAPPER_CHAIN=" << pid << ":" << plugin.st_dev << ":"
          << plugin.st_ino << ";" << nm;
    auto slot = std::find(env.begin(), env.end(), "VESK_WRAPPER_CHAIN=junk");
    if (slot != env.end())
      *slot = entry.str();
    else
      env.push_back(entry.str());
    EXPECT_EQ(null_ended(read_file(environment)), env);
  }
}

// On request the lookup shows where it looked: the running program's own tree
// when argv[0] gives no location, each of its directories whole, PATH split.
TEST_F(WrapperTest, LookupTraceShowsWhereTheProgramLooked) {
  build_tree();
  std::string program = (root_ / "bin/vesk-nm").string();
  std::string path = (base_ / "empty-path").string();
  Strings trace = base_env();
  trace.push_back("VESK_LOOKUP_TRACE=1");
  run_outcome outcome = run({program, {""}, trace});
  EXPECT_EQ(outcome.err.substr(0, outcome.err.find("Looking")),
            "  - add prefix: " + tool_dir(root_) + "\n  - add prefix: " + libexec_path(root_) +
                "\nConvert string '" + path + "' into prefixes, separator = ':'\n" +
                "  - add prefix: " + path + "/\n");

  Strings quiet = base_env();
  quiet.push_back("VESK_LOOKUP_TRACE=");
  outcome = run({program, {program}, quiet});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(WrapperTest, InstallationDirectoriesAreSearchedInOrder) {
  build_tree(/*with_plugin=*/false, /*with_tools=*/false);
  std::string tool_bin = tool_dir(root_);
  std::string libexec = libexec_path(root_);
  // The target's bin directory comes first, for the plugin as for the tool.
  write_file(tool_bin + plugin_file_name, "", fs::perms(0644));
  write_file(file(libexec_path(root_)) / plugin_file_name, "", fs::perms(0644));
  install_copy(STAND_IN_TOOL_PATH, file(libexec_path(root_)) / "nm");
  run_outcome outcome = run_installed("nm", {});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(recorded(), (Strings{libexec + "nm", "--plugin", tool_bin + plugin_file_name}));

  fs::remove(record_);
  install_copy(STAND_IN_TOOL_PATH, tool_bin + "nm");
  // A directory or a file without execute permission under the tool's name is passed over.
  fs::create_directories(tool_bin + "ranlib");
  write_file(file(libexec_path(root_)) / "ranlib", "", fs::perms(0644));
  outcome = run_installed("nm", {});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(recorded(), (Strings{tool_bin + "nm", "--plugin", tool_bin + plugin_file_name}));
  outcome = run_installed("ranlib", {});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err, (root_ / "bin/vesk-ranlib").string() + ": Cannot find binary '" +
                             prefixed("ranlib") + "'\n");
}

TEST_F(WrapperTest, ToolThatCannotBeStartedIsAnEngineFailure) {
  build_tree(/*with_plugin=*/true, /*with_tools=*/false);
  write_file(tool_dir(root_) + "nm", "#!/nonexistent/interpreter\n", fs::perms(0755));
  // Only a line too long is tried again, through a response file, which this
  // limit would fail.
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = {4096, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  run_outcome outcome = run_installed("nm", {std::string(8192, 'x')});
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err, "Error running " + tool_dir(root_) + "nm: spawn\n");
}

// A line that fits when the caller starts the tool itself, but not with what
// the wrapper adds, reaches the tool through a response file, removed after.
// One that cannot be written is the wrapper's own failure and leaves nothing.
TEST_F(WrapperTest, LinePushedPastTheLimitGoesInAResponseFile) {
  build_tree();
  const fs::path temp = base_ / "temp";
  fs::create_directories(temp);
  const Strings env = joined({"TMPDIR=" + temp.string()}, base_env());
  const std::string tool = tool_dir(root_) + "nm", filler(99, 'f');
  const Strings odd = {"", "a b", "tab\there", "q\"'", "back\\slash", "new\nline", "cr\rhere"};
  auto args_of = [&](size_t count) { return joined(odd, Strings(count, filler)); };
  size_t low = 0, high = 1 << 16;  // the most fillers the tool takes directly
  while (low < high) {
    size_t middle = (low + high + 1) / 2;
    bool fits = run({tool, joined({tool}, args_of(middle)), env}).exit_code == 0;
    (fits ? low : high) = fits ? middle : middle - 1;
  }
  fs::remove(record_);
  const Strings args = args_of(low);
  run_outcome outcome = run({program(), joined({program()}, args), env});
  EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
  Strings got = recorded();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].rfind("@" + temp.string() + "/cc", 0), 0u) << got[3];
  std::string lines = "''\na\\ b\ntab\\\there\nq\\\"\\'\nback\\\\slash\nnew\\\nline\ncr\\\rhere\n";
  for (size_t i = 0; i < low; ++i) lines += filler + "\n";
  EXPECT_EQ(read_file(record_.string() + ".rsp"), lines);
  EXPECT_TRUE(fs::is_empty(temp));
  // The file-size signal is the caller's again: passed on to the tool, which
  // counts it until SIGRTMAX (remapped by qemu-user).
  if (!under_emulation) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    run_options counting{
        program(), joined({program()}, args),
        joined({"STAND_IN_PAUSE=1", "STAND_IN_COUNT=" + std::to_string(SIGXFSZ)}, env)};
    pid_t wrapper = start(counting, out[1], scratch_);
    close(out[1]);
    char byte;
    ASSERT_EQ(read(out[0], &byte, 1), 1);
    kill(wrapper, SIGXFSZ), kill(wrapper, SIGRTMAX);
    int status = 0;
    waitpid(wrapper, &status, 0);
    // Open until now: the tool's "got" must not die of SIGPIPE, which would
    // let a late SIGRTMAX find the wrapper without a tool.
    close(out[0]);
    EXPECT_EQ(status, 1 << 8);
  }
  run_options without_input{program(), joined({program()}, args), env};
  without_input.closed = {0};
  EXPECT_EQ(run(without_input).exit_code, 0);
  EXPECT_TRUE(fs::is_empty(temp));

  // Limits met part-way and by the last flush, as the file is closed.
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  for (rlim_t limit : {rlim_t{1} << 16, rlim_t{lines.size() - 1}}) {
    rlimit small = {limit, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    outcome = run({program(), joined({program()}, args), env});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err, "Error running " + tool + ": write response file\n");
    EXPECT_TRUE(fs::is_empty(temp));
  }
}

// A signal passed on before the wrapper knows its tool ends the wrapper, the
// response file removed first. The engine's hook raises it at that very moment.
TEST_F(WrapperTest, SignalBeforeTheToolIsKnownRemovesTheResponseFile) {
  build_tree();
  const fs::path temp = base_ / "temp";
  fs::create_directories(temp);
  auto signalled_as_the_tool_starts = [&] {
    setenv("TMPDIR", temp.c_str(), 1);
    pass_signals_to_tool();
    pex_child_started = [](pid_t) { raise(SIGTERM); };
    std::string tool = tool_dir(root_) + "nm", plugin = "--plugin", huge(200000, 'h');
    char* argv[] = {tool.data(), plugin.data(), plugin.data(), huge.data(), nullptr};
    pex_outcome outcome;
    int error_code = 0;
    run_tool(argv[0], argv, nullptr, "nm", &outcome, &error_code);
  };
  EXPECT_EXIT(signalled_as_the_tool_starts(), testing::KilledBySignal(SIGTERM), "");
  EXPECT_TRUE(fs::is_empty(temp));
}

// Every row of the mapping, including the stopped child and the core bit
// without a signal, which no real run of the tool can produce.
TEST(ExitStatusOf, WaitStatusGivesExitStatusAndSignalLine) {
  struct Case {
    int status;
    int expected;
    std::string message;
  };
  const std::string tool = "/t/nm";
  const Case cases[] = {
      {0, 0, ""},
      {0x0300, 3, ""},
      {0xff00, 255, ""},
      {0x137f, 1, ""},  // stopped by signal 19
      {0x0080, 1, ""},  // core bit, no signal
      {0x0380, 1, ""},
      {SIGKILL, 1, tool + " terminated with signal 9 [" + strsignal(SIGKILL) + "]\n"},
      {0x80 | SIGSEGV, 1,
       tool + " terminated with signal 11 [" + strsignal(SIGSEGV) + "], core dumped\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    testing::internal::CaptureStderr();
    int got = exit_status_of(pex_outcome_of(c.status), tool.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(got, c.expected);
  }
}

// The kernel never passes an empty argument vector, so call the entry directly.
TEST_F(WrapperTest, EmptyArgumentVectorUsesTheProgramsOwnName) {
  // Without a program path the running program stands in: the test binary,
  // with no tree around it, or the configured directories where it is installed.
  const Strings configured_dirs = {
      install_exec_dir + versioned + "../../../../" + configured_target + "/bin/",
      install_libexec_dir + versioned};
  for (const std::string& configured : configured_dirs) {
    std::string plugin = configured + plugin_file_name;
    if (access(plugin.c_str(), F_OK) == 0) GTEST_SKIP() << plugin << " is installed here";
  }
  build_tree();
  char* no_arguments[] = {nullptr};
  auto without_prefix = [&] {
    unsetenv("VESK_EXEC_PREFIX");
    setenv("PATH", (base_ / "empty-path").c_str(), 1);
    exit(wrapper_main(0, no_arguments));
  };
  EXPECT_EXIT(
      without_prefix(), testing::ExitedWithCode(1),
      std::string("^") + own_program_name + ": Cannot find plugin '" + plugin_file_name + "'\n$");

  auto with_prefix = [&] {
    setenv("VESK_EXEC_PREFIX", (root_.string() + "/bin/").c_str(), 1);
    setenv("STAND_IN_RECORD", record_.c_str(), 1);
    setenv("STAND_IN_EXIT", "4", 1);
    exit(wrapper_main(0, no_arguments));
  };
  EXPECT_EXIT(with_prefix(), testing::ExitedWithCode(4), "^$");
  EXPECT_EQ(recorded(), expected_args(root_, "nm", {}));
}

}  // namespace
