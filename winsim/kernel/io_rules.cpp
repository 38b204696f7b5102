#include "winsim/kernel/io_rules.h"

#include <cstdio>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/lock_order.h"
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

uint32_t LocksHeld() { return LockOrder::Instance().HeldByCurrentThread(); }

void RequireIrqlRestored(const char *routineKind, KIRQL expected, const std::source_location &site,
                         uint32_t expectedLocks) {
  SimThread &thread = Scheduler::RequireCurrent(routineKind);
  const uint32_t held = LocksHeld();
  if (thread.irql == expected && held == expectedLocks) return;
  std::string detail = std::string(routineKind) + " returned at IRQL " + std::to_string(thread.irql) +
                       " (called at " + std::to_string(expected) + ")";
  if (held > expectedLocks) {
    detail += " holding " + std::to_string(held - expectedLocks) + " lock(s) more than it was called with: " +
              LockOrder::Instance().DescribeHeldByCurrentThread(expectedLocks);
  } else if (held < expectedLocks) {
    detail += " having released " + std::to_string(expectedLocks - held) + " lock(s) its caller held";
  }
  BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
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

std::string SiteText(const std::source_location &site) {
  return std::string(site.file_name()) + ":" + std::to_string(site.line());
}

std::string Hex(const void *address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

}  // namespace winsim
