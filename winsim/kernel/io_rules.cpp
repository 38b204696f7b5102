#include "winsim/kernel/io_rules.h"

#include <cstdio>

#include "winsim/kernel/bugcheck.h"
#include "winsim/sched/scheduler.h"

namespace winsim {

void RequireAtMostDispatch(const char *api, const std::source_location &site) {
  SimThread &thread = Scheduler::RequireCurrent(api);
  if (thread.irql > DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual,
             std::string(api) + " called at IRQL " + std::to_string(thread.irql) + "; it requires <= DISPATCH_LEVEL",
             site);
  }
}

uint32_t SpinLocksHeld() { return static_cast<uint32_t>(Scheduler::RequireCurrent("spin lock count").spinLocksHeld); }

void RequireIrqlRestored(const char *routineKind, KIRQL expected, const std::source_location &site,
                         uint32_t expectedLocks) {
  SimThread &thread = Scheduler::RequireCurrent(routineKind);
  if (thread.irql != expected || static_cast<uint32_t>(thread.spinLocksHeld) != expectedLocks) {
    std::string detail = std::string(routineKind) + " returned at IRQL " + std::to_string(thread.irql) +
                         " (called at " + std::to_string(expected) + ")";
    if (static_cast<uint32_t>(thread.spinLocksHeld) != expectedLocks) {
      detail += " holding " + std::to_string(thread.spinLocksHeld) + " spin lock(s), called with " +
                std::to_string(expectedLocks);
    }
    BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
  }
}

std::string Narrow(const UNICODE_STRING &text) {
  std::string out;
  if (text.Buffer == nullptr) return out;
  for (USHORT i = 0; i < text.Length / sizeof(WCHAR); ++i) {
    WCHAR c = text.Buffer[i];
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string Hex(const void *address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

}  // namespace winsim
