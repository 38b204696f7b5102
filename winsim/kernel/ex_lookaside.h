// The kernel's register of initialised lookaside lists (ex_lookaside.cpp).
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/kernel/live_objects.h"

namespace winsim {

// Initialised, not yet deleted lookaside lists in [begin, end).
std::vector<LiveObject> LookasideListsIn(uintptr_t begin, uintptr_t end);
// Machine boot: no list is registered.
void ResetLookasideLists();

}  // namespace winsim
