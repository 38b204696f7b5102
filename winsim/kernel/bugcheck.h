// Bug checks: how winsim stops the machine when the driver breaks a kernel
// rule, as Windows with Driver Verifier would. The report names the check, the
// source line that broke it, the thread and its IRQL, then ends the process so
// the test that caused it fails (death tests assert on the report).
#pragma once
#include <wdm.h>

#include <source_location>
#include <string>

namespace winsim {

enum class BugCode : ULONG {
  kIrqlNotGreaterOrEqual = 0x09,
  kIrqlNotLessOrEqual = 0x0A,
  kKernelApcPendingDuringExit = 0x20,
  kAssertionFailure = 0x2C,
  kMultipleIrpCompleteRequests = 0x44,
  kNoMoreIrpStackLocations = 0x35,
  kBadPoolCaller = 0xC2,
  kDriverVerifierDetectedViolation = 0xC4,
  kDriverIrqlNotLessOrEqual = 0xD1,
  kDriverUnloadedWithoutCancellingPendingOperations = 0xCE,
  kInvalidKernelHandle = 0x93,
  kTimerOrDpcInvalid = 0xC7,
  kWorkerInvalid = 0xE4,
  kDpcWatchdogViolation = 0x133,
  kDriverPowerStateFailure = 0x9F,
};

const char *BugCodeName(ULONG code);

struct BugCheckReport {
  ULONG code;
  std::string name;
  std::string detail;
  std::string where;
  std::string thread;
  int irql;
  double timeMs;
  std::string notes;  // machine state that explains the stop (armed fault injection)
  std::string Format() const;
};

// Replaces what happens after the report is written (default: the process
// exits). A handler must not return into the faulting code; it exists for
// tools that want to flush their own output first.
using BugCheckHandler = void (*)(const BugCheckReport &report);
void SetBugCheckHandler(BugCheckHandler handler);

[[noreturn]] void BugCheck(BugCode code, const std::string &detail, const std::source_location &site);
[[noreturn]] void BugCheckCode(ULONG code, const std::string &detail, const std::source_location &site);

// Pageable kernel code and the Zw registry calls run at PASSIVE_LEVEL only.
void RequirePassive(const char *api, const std::source_location &site);

}  // namespace winsim
