// The test helper's platform parts (pex_test_helper_posix.cc, _win32.cc):
// the program's entry, which hands UTF-8 arguments to helper_main, and what
// the common modes need from the system.
#pragma once

int helper_main(int argc, char** argv);

// Modes that exist on one platform only; 100 for an unknown one.
int platform_mode(int argc, char** argv);

// The user CPU time this process has used so far.
long long user_micros();

[[noreturn]] void wait_forever();
