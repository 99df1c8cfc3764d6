// What a test of a cross build must know of the emulator that runs it
// (qemu-user, named by the build; empty in a native build).
#pragma once

#include <gtest/gtest.h>

inline constexpr char test_emulator[] = VESK_TEST_EMULATOR;
inline constexpr bool under_emulation = test_emulator[0] != '\0';

// The re-executing style starts the test binary again, which an emulated one
// cannot do here (no handler starts it under the emulator). There a death
// test's fresh child is a fork of a parent that has not run the statement.
inline constexpr const char* fresh_child_death_test_style = under_emulation ? "fast" : "threadsafe";

// A case that fails because of the emulator, not the program, says so.
#define SKIP_UNDER_EMULATION(reason) \
  if (under_emulation) GTEST_SKIP() << "under " << test_emulator << ": " << reason
