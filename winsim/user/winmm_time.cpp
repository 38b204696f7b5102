// timeBeginPeriod/timeEndPeriod: every end must match an earlier begin of the
// same period. Windows answers an unmatched end with TIMERR_NOCANDO; winsim
// also notes it in the machine log, since it means a caller's begin/end pairs
// are off (and a real machine would be left at a raised resolution by the
// mirror-image fault).
#include "winsim/user/winmm_time.h"

#include <map>
#include <mutex>
#include <string>

#include "winsim/kernel/debug_log.h"

namespace {

// The finest and coarsest periods winmm's timer offers (timeGetDevCaps).
constexpr UINT kMinPeriod = 1;
constexpr UINT kMaxPeriod = 1000000;

struct Periods {
  std::mutex lock;
  std::map<UINT, int> begun;
};

Periods &ThePeriods() {
  static Periods periods;
  return periods;
}

}  // namespace

UINT timeBeginPeriod(UINT uPeriod) {
  if (uPeriod < kMinPeriod || uPeriod > kMaxPeriod) return TIMERR_NOCANDO;
  std::lock_guard<std::mutex> guard(ThePeriods().lock);
  ++ThePeriods().begun[uPeriod];
  return TIMERR_NOERROR;
}

UINT timeEndPeriod(UINT uPeriod) {
  std::lock_guard<std::mutex> guard(ThePeriods().lock);
  auto it = ThePeriods().begun.find(uPeriod);
  if (it == ThePeriods().begun.end() || it->second == 0) {
    winsim::DebugLog::Append("winmm", "timeEndPeriod(" + std::to_string(uPeriod) +
                                          ") without a matching timeBeginPeriod");
    return TIMERR_NOCANDO;
  }
  --it->second;
  return TIMERR_NOERROR;
}

namespace winsim {

int OutstandingTimerPeriods() {
  std::lock_guard<std::mutex> guard(ThePeriods().lock);
  int total = 0;
  for (const auto &entry : ThePeriods().begun) total += entry.second;
  return total;
}

void ResetTimerPeriods() {
  std::lock_guard<std::mutex> guard(ThePeriods().lock);
  ThePeriods().begun.clear();
}

}  // namespace winsim
