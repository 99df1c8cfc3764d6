// windows.h first: psapi.h builds on its types.
#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on

#include "support/alloc.h"

namespace {

SIZE_T initial_usage = 0;
bool base_noted = false;

SIZE_T private_usage() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters))
    return 0;
  return counters.PrivateUsage;
}

}  // namespace

void note_allocation_base() {
  if (base_noted) return;
  base_noted = true;
  initial_usage = private_usage();
}

// The system has no program break, so the committed private memory stands in.
unsigned long allocated_since_base() {
  SIZE_T now = private_usage();
  return static_cast<unsigned long>(now > initial_usage ? now - initial_usage : 0);
}
