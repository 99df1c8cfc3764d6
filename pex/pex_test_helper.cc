// A small child for the pipeline tests: each mode exercises one thing a stage
// can do to its descriptors or to the parent.
#include "pex/pex_test_helper.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int copy_input_to_output() {
  for (int c; (c = getchar()) != EOF;) putchar(c);
  return fflush(stdout) == 0 ? 0 : 3;
}

int flood(long bytes) {
  for (long i = 0; i < bytes; ++i) putchar('a' + static_cast<int>(i % 26));
  return fflush(stdout) == 0 ? 0 : 3;
}

// Long enough for many clock ticks: the kernel splits a short run's time
// between user and system by the few ticks it saw, evenly at worst.
int burn_cpu() {
  volatile unsigned long sink = 0;
  for (;;) {
    for (int i = 0; i < 1000000; ++i) sink = sink + static_cast<unsigned long>(i);
    if (user_micros() >= 200000) return 0;
  }
}

int upper_case() {
  for (int c; (c = getchar()) != EOF;) putchar(toupper(c));
  return fflush(stdout) == 0 ? 0 : 3;
}

}  // namespace

int helper_main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "argv") {
    for (int i = 2; i < argc; ++i) printf("%s\n", argv[i]);
    return 0;
  }
  // All 32 bits where the system passes them on (0x12345678, say).
  if (mode == "exit" && argc == 3) return static_cast<int>(strtoul(argv[2], nullptr, 0));
  if (mode == "flood" && argc == 3) return flood(atol(argv[2]));
  if (mode == "cat") return copy_input_to_output();
  if (mode == "upper") return upper_case();
  if (mode == "out-err") {
    printf("out\n");
    fflush(stdout);
    fprintf(stderr, "err\n");
    return 0;
  }
  if (mode == "env" && argc == 3) {
    const char* value = getenv(argv[2]);
    printf("%s\n", value != nullptr ? value : "");
    return 0;
  }
  if (mode == "busy") return burn_cpu();
  if (mode == "pause") wait_forever();
  return platform_mode(argc, argv);
}
