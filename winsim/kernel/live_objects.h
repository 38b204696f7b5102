// Kernel objects the kernel keeps using after a driver handed them over: a
// set timer, a queued DPC or work item, an object a thread waits on, an
// initialised lookaside list, a held lock. Freeing the memory that holds one
// corrupts the kernel's lists on Windows; here it is a bug check naming the
// object, where it was set up and the line that freed it (what Driver
// Verifier reports as freeing pool with active timers and the like).
#pragma once
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string>
#include <vector>

#include "winsim/kernel/bugcheck.h"

namespace winsim {

struct LiveObject {
  BugCode code;  // the bug check Windows raises when the object's memory goes
  const void *address;
  std::string what;  // "timer 0x… set at file:line"
};

// Pool [begin, begin + bytes) is about to be freed: bug check when a live
// object or a held lock lies in it; the locks in it are forgotten.
void CheckFreedMemory(const void *begin, size_t bytes, const std::source_location &site);

// Set timers, queued DPCs and initialised lookaside lists outside every live
// pool block. When a driver unloads (its
// pool already checked for leaks) such an object can only be in the driver's
// own image or in memory that is gone.
std::vector<LiveObject> LiveObjectsOutsidePool();

}  // namespace winsim
