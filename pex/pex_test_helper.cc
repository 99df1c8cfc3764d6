// A small child for the pipeline tests: each mode exercises one thing a stage
// can do to its descriptors or to the parent.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "test_support.h"

namespace {

int copy_input_to_output() {
  for (int c; (c = getchar()) != EOF;) putchar(c);
  return fflush(stdout) == 0 ? 0 : 3;
}

// Lists the open descriptors (without the one reading the listing), then
// behaves as a filter so that it can sit anywhere in a pipeline.
int list_descriptors(const char* list_file) {
  std::set<int> fds = pex_testing::open_fds();
  FILE* out = fopen(list_file, "w");
  if (out == nullptr) return 5;
  for (int fd : fds) fprintf(out, "%d\n", fd);
  fclose(out);
  return copy_input_to_output();
}

int flood(long bytes) {
  for (long i = 0; i < bytes; ++i) putchar('a' + static_cast<int>(i % 26));
  return fflush(stdout) == 0 ? 0 : 3;
}

int burn_cpu() {
  volatile unsigned long sink = 0;
  for (;;) {
    for (int i = 0; i < 1000000; ++i) sink = sink + static_cast<unsigned long>(i);
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    if (usage.ru_utime.tv_sec > 0 || usage.ru_utime.tv_usec >= 20000) return 0;
  }
}

// Signals the parent only once it is blocked (in its wait), so that the
// signal interrupts the wait itself.
int signal_parent_while_blocked(int code) {
  pid_t parent = getppid();
  std::string stat_path = "/proc/" + std::to_string(parent) + "/stat";
  for (;;) {
    FILE* stat = fopen(stat_path.c_str(), "r");
    if (stat == nullptr) return 6;
    char line[512] = {};
    fgets(line, sizeof line, stat);
    fclose(stat);
    const char* after_name = strrchr(line, ')');
    if (after_name != nullptr && after_name[1] == ' ' && after_name[2] == 'S') break;
    sched_yield();
  }
  kill(parent, SIGUSR1);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "argv") {
    for (int i = 2; i < argc; ++i) printf("%s\n", argv[i]);
    return 0;
  }
  if (mode == "exit" && argc == 3) return atoi(argv[2]);
  if (mode == "flood" && argc == 3) return flood(atol(argv[2]));
  if (mode == "cat") return copy_input_to_output();
  if (mode == "fds" && argc == 3) return list_descriptors(argv[2]);
  if (mode == "busy") return burn_cpu();
  if (mode == "pause") {
    for (;;) pause();
  }
  if (mode == "signal-parent" && argc == 3) return signal_parent_while_blocked(atoi(argv[2]));
  return 100;
}
