// Times three ways of running the same trivial tool, interleaved so that
// machine noise falls on all three alike:
//   a: the tool started directly
//   b: a minimal static spawn-and-wait program starting it
//   c: vesk-nm from a staged tree starting it
// Usage: bench_startup <tool> <min-wrapper> <vesk-nm> <plugin> <runs>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

double run_once(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    fprintf(stderr, "cannot start %s\n", argv[0]);
    exit(2);
  }
  int status;
  waitpid(pid, &status, 0);
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status %#x)\n", argv[0], status);
    exit(2);
  }
  return (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s <tool> <min-wrapper> <vesk-nm> <plugin> <runs>\n", argv[0]);
    return 2;
  }
  std::string tool = argv[1], minimal = argv[2], wrapper = argv[3], plugin = argv[4];
  int runs = atoi(argv[5]);
  std::vector<double> a, b, c;
  for (int i = 0; i < runs; ++i) {
    // Same arguments reach the tool in all three.
    a.push_back(run_once({tool, "--plugin", plugin, "-g", "file.o"}));
    b.push_back(run_once({minimal, tool, "--plugin", plugin, "-g", "file.o"}));
    c.push_back(run_once({wrapper, "-g", "file.o"}));
  }
  double ma = median(a), mb = median(b), mc = median(c);
  printf("runs each:                       %d (interleaved)\n", runs);
  printf("a  tool started directly:        %8.1f us (median)\n", ma);
  printf("b  minimal static spawn-and-wait: %7.1f us\n", mb);
  printf("c  vesk-nm from a staged tree:   %8.1f us\n", mc);
  printf("c/b = %.3f   (goal: at most 1.10)\n", mc / mb);
  printf("c/a = %.3f\n", mc / ma);
  return 0;
}
