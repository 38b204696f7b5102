#include "winsim/kernel/bugcheck.h"

#include <unistd.h>

#include <cstdio>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/fault_injection.h"
#include "winsim/sched/parallel_mode.h"
#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

BugCheckHandler g_handler = nullptr;

}  // namespace

const char *BugCodeName(ULONG code) {
  switch (static_cast<BugCode>(code)) {
    case BugCode::kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case BugCode::kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case BugCode::kKernelApcPendingDuringExit: return "KERNEL_APC_PENDING_DURING_EXIT";
    case BugCode::kAssertionFailure: return "ASSERTION_FAILURE";
    case BugCode::kMultipleIrpCompleteRequests: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case BugCode::kNoMoreIrpStackLocations: return "NO_MORE_IRP_STACK_LOCATIONS";
    case BugCode::kBadPoolCaller: return "BAD_POOL_CALLER";
    case BugCode::kDriverVerifierDetectedViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case BugCode::kDriverIrqlNotLessOrEqual: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case BugCode::kDriverUnloadedWithoutCancellingPendingOperations:
      return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case BugCode::kInvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case BugCode::kTimerOrDpcInvalid: return "TIMER_OR_DPC_INVALID";
    case BugCode::kWorkerInvalid: return "WORKER_INVALID";
    case BugCode::kDpcWatchdogViolation: return "DPC_WATCHDOG_VIOLATION";
    case BugCode::kDriverPowerStateFailure: return "DRIVER_POWER_STATE_FAILURE";
  }
  return "BUGCHECK";
}

std::string BugCheckReport::Format() const {
  char head[96];
  std::snprintf(head, sizeof head, "*** STOP: 0x%08X (%s)\n", code, name.c_str());
  char tail[160];
  std::snprintf(tail, sizeof tail, "    thread '%s' at IRQL %d, %.4f ms of virtual time\n", thread.c_str(), irql,
                timeMs);
  std::string text = std::string(head) + "    " + detail + "\n    at " + where + "\n" + tail;
  if (!notes.empty()) text += "    " + notes + "\n";
  return text;
}

void SetBugCheckHandler(BugCheckHandler handler) { g_handler = handler; }

void BugCheckCode(ULONG code, const std::string &detail, const std::source_location &site) {
  BugCheckReport report;
  report.code = code;
  report.name = BugCodeName(code);
  report.detail = detail;
  report.where = std::string(site.file_name()) + ":" + std::to_string(site.line()) + " (" + site.function_name() + ")";
  SimThread *thread = Scheduler::Current();
  report.thread = thread != nullptr ? thread->Name() : "<not simulated>";
  report.irql = thread != nullptr ? thread->irql : -1;
  Scheduler *scheduler = Scheduler::Active();
  report.timeMs = scheduler != nullptr ? static_cast<double>(scheduler->Now()) / kTicksPerMillisecond : 0.0;
  report.notes = AllocationFaults::Instance().Describe();
  std::string parallel = ParallelMode::Instance().Describe();
  if (!parallel.empty()) report.notes += (report.notes.empty() ? "" : "; ") + parallel;
  std::string text = report.Format();
  DebugLog::Append("bugcheck", text);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::fflush(stdout);
  if (g_handler != nullptr) g_handler(report);
  _exit(0xBC);
}

void BugCheck(BugCode code, const std::string &detail, const std::source_location &site) {
  BugCheckCode(static_cast<ULONG>(code), detail, site);
}

void RequirePassive(const char *api, const std::source_location &site) {
  SimThread &thread = Scheduler::RequireCurrent(api);
  if (thread.irql != PASSIVE_LEVEL) {
    BugCheck(BugCode::kDriverIrqlNotLessOrEqual,
             std::string(api) + " called at IRQL " + std::to_string(thread.irql) + "; it requires PASSIVE_LEVEL",
             site);
  }
}

}  // namespace winsim
