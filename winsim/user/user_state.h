// Machine boot: what a previous machine in this process left in winsim's
// user-mode tables (loaded host modules, COM apartments, timer periods,
// multimedia tasks, message boxes, injected faults) is forgotten.
#pragma once

namespace winsim {

void ResetUserModeState();

}  // namespace winsim
