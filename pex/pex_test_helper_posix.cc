// The helper's POSIX modes: descriptors and signals.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "pex/pex_test_helper.h"
#include "pex/test_support.h"

namespace {

// Lists the open descriptors (without the one reading the listing), then
// behaves as a filter so that it can sit anywhere in a pipeline.
int list_descriptors(const char* list_file) {
  std::set<int> fds = pex_testing::open_fds();
  FILE* out = fopen(list_file, "w");
  if (out == nullptr) return 5;
  for (int fd : fds) fprintf(out, "%d\n", fd);
  fclose(out);
  for (int c; (c = getchar()) != EOF;) putchar(c);
  return fflush(stdout) == 0 ? 0 : 3;
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

int platform_mode(int argc, char** argv) {
  std::string mode = argv[1];
  if (mode == "fds" && argc == 3) return list_descriptors(argv[2]);
  if (mode == "signal-parent" && argc == 3) return signal_parent_while_blocked(atoi(argv[2]));
  return 100;
}

long long user_micros() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec * 1000000LL + usage.ru_utime.tv_usec;
}

void wait_forever() {
  for (;;) pause();
}

int main(int argc, char** argv) {
  return helper_main(argc, argv);
}
