#include <unistd.h>

#include <cstdint>

#include "support/alloc.h"

namespace {
void* initial_break = nullptr;
}  // namespace

// Porting: sbrk is not in POSIX.
void note_allocation_base() {
  if (initial_break == nullptr) initial_break = sbrk(0);
}

unsigned long allocated_since_base() {
  // Without a recorded break, a variable of our own stands for the start of
  // static data. environ would not do everywhere: where a dynamically linked
  // program reaches it through the GOT (aarch64 does), it lies in the C
  // library's data, far from the heap. Addresses, not pointers, are
  // subtracted: the two lie in different objects.
  uintptr_t current = reinterpret_cast<uintptr_t>(sbrk(0));
  uintptr_t base = initial_break != nullptr ? reinterpret_cast<uintptr_t>(initial_break)
                                            : reinterpret_cast<uintptr_t>(&initial_break);
  return static_cast<unsigned long>(current - base);
}
