// A stand-in for the wrapped tool. It appends its arguments, each ended by a
// NUL byte, to the file named by STAND_IN_RECORD (an "@file" one's contents to
// that name with ".rsp" added), and its environment so to
// the file named by STAND_IN_ENVIRONMENT; copies standard input to
// standard output when STAND_IN_ECHO is set; then raises STAND_IN_SIGNAL
// (with a core only when STAND_IN_CORE is set) or exits with STAND_IN_EXIT
// (default 0). With STAND_IN_PAUSE it instead writes one line to standard
// output, "<pid> <blocked> <ignored>" (signal sets as hex bit masks, bit n-1
// for signal n), and waits for a signal to end it (in a process group of its
// own with STAND_IN_OWN_GROUP); with STAND_IN_COUNT=<n> as
// well it counts signal n, a line "got" as each comes (with STAND_IN_HOLD,
// left pending instead), until SIGRTMAX, and exits with the count.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (const char* record = getenv("STAND_IN_RECORD")) {
    FILE* out = fopen(record, "ab");
    if (out == nullptr) return 120;
    for (int i = 0; i < argc; ++i) {
      fwrite(argv[i], 1, strlen(argv[i]) + 1, out);
      // A response file's contents go to the record's name with ".rsp" added.
      FILE* response = argv[i][0] == '@' ? fopen(argv[i] + 1, "rb") : nullptr;
      if (response != nullptr) {
        FILE* copy = fopen((std::string(record) + ".rsp").c_str(), "ab");
        for (int c; copy != nullptr && (c = fgetc(response)) != EOF;) fputc(c, copy);
        if (copy == nullptr || fclose(copy) != 0) return 121;
        fclose(response);
      }
    }
    if (fclose(out) != 0) return 121;
  }
  if (const char* record = getenv("STAND_IN_ENVIRONMENT")) {
    FILE* out = fopen(record, "wb");
    if (out == nullptr) return 120;
    for (char** entry = environ; *entry != nullptr; ++entry)
      fwrite(*entry, 1, strlen(*entry) + 1, out);
    if (fclose(out) != 0) return 121;
  }
  if (getenv("STAND_IN_ECHO") != nullptr) {
    char buffer[65536];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0)
      if (write(1, buffer, static_cast<size_t>(n)) != n) return 122;
  }
  if (const char* number = getenv("STAND_IN_SIGNAL")) {
    if (getenv("STAND_IN_CORE") != nullptr) {
      rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
      setrlimit(RLIMIT_CORE, &unlimited);
    } else {
      // No core, whatever the caller's ulimit or a core helper would allow:
      // one would add ", core dumped" to the wrapper's message.
      prctl(PR_SET_DUMPABLE, 0);
    }
    int signal_number = atoi(number);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return 123;
  }
  if (getenv("STAND_IN_PAUSE") != nullptr) {
    prctl(PR_SET_DUMPABLE, 0);
    if (getenv("STAND_IN_OWN_GROUP") != nullptr) setpgid(0, 0);
    // The kernel's own account: the C library hides the signals it keeps for itself.
    unsigned long long blocked_bits = 0, ignored_bits = 0;
    if (FILE* status = fopen("/proc/self/status", "r")) {
      char line[256];
      while (fgets(line, sizeof line, status) != nullptr) {
        sscanf(line, "SigBlk: %llx", &blocked_bits);
        sscanf(line, "SigIgn: %llx", &ignored_bits);
      }
      fclose(status);
    }
    const char* counted = getenv("STAND_IN_COUNT");
    int n = counted != nullptr ? atoi(counted) : 0;
    sigset_t wanted, only_n;
    sigemptyset(&wanted);
    sigemptyset(&only_n);
    sigaddset(&only_n, n);
    sigaddset(&wanted, SIGRTMAX);
    if (getenv("STAND_IN_HOLD") == nullptr) sigaddset(&wanted, n);
    if (counted != nullptr) {
      sigprocmask(SIG_BLOCK, &only_n, nullptr);
      sigprocmask(SIG_BLOCK, &wanted, nullptr);
    }
    printf("%d %llx %llx\n", static_cast<int>(getpid()), blocked_bits, ignored_bits);
    fflush(stdout);
    if (counted != nullptr) {
      int count = 0;
      for (int got; (got = sigwaitinfo(&wanted, nullptr)) != SIGRTMAX;) {
        if (got == n) printf("got\n"), fflush(stdout), ++count;
      }
      timespec none = {0, 0};
      while (sigtimedwait(&only_n, nullptr, &none) == n) ++count;
      return count;
    }
    for (;;) pause();
  }
  const char* code = getenv("STAND_IN_EXIT");
  return code != nullptr ? atoi(code) : 0;
}
