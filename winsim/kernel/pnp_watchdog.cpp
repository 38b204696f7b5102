#include "winsim/kernel/pnp_watchdog.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <sstream>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"

namespace winsim::pnp {
namespace {

std::atomic<IrpWatchdog *> g_active{nullptr};

// The line DescribeThreads gives for one thread, without its indentation.
std::string ThreadLine(const std::string &threads, const std::string &name) {
  std::istringstream lines(threads);
  std::string line;
  const std::string prefix = "  " + name + " (";
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) return line.substr(2);
  }
  return "'" + name + "' (no longer known)";
}

std::string DriverName(PDEVICE_OBJECT target) {
  if (target == nullptr || target->DriverObject == nullptr || target->DriverObject->DriverName.Buffer == nullptr) {
    return "?";
  }
  const UNICODE_STRING &name = target->DriverObject->DriverName;
  std::string text;
  for (USHORT i = 0; i < name.Length / sizeof(WCHAR); ++i) text.push_back(static_cast<char>(name.Buffer[i]));
  return text;
}

}  // namespace

IrpWatchdog::IrpWatchdog(Scheduler &scheduler, DeviceNamer namer) : m_scheduler(scheduler), m_namer(std::move(namer)) {
  KeInitializeEvent(&m_changed, SynchronizationEvent, FALSE);
  m_thread = m_scheduler.Spawn("power watchdog", ThreadKind::SystemWorker, kSystemProcessId, [this] { Run(); });
  g_active.store(this);
}

IrpWatchdog::~IrpWatchdog() {
  IrpWatchdog *self = this;
  g_active.compare_exchange_strong(self, nullptr);
}

IrpWatchdog *IrpWatchdog::Active() { return g_active.load(); }

void IrpWatchdog::SetLimit(VTime limit) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_limit = limit;
}

VTime IrpWatchdog::Limit() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_limit;
}

uint64_t IrpWatchdog::Arm(PIRP irp, PDEVICE_OBJECT target, bool power, std::string what) {
  SimThread *sender = Scheduler::Current();
  uint64_t token;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_limit <= 0 || m_stopping) return 0;
    token = m_next++;
    VTime now = m_scheduler.Now();
    m_watches.emplace(token, Watch{irp, target, power, std::move(what), sender != nullptr ? sender->Name() : "?",
                                   false, now, now + m_limit});
  }
  KeSetEvent(&m_changed, IO_NO_INCREMENT, FALSE);
  return token;
}

void IrpWatchdog::Dispatched(uint64_t token) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_watches.find(token);
  if (it != m_watches.end()) it->second.dispatched = true;
}

void IrpWatchdog::Disarm(uint64_t token) {
  if (token == 0) return;
  std::lock_guard<std::mutex> guard(m_lock);
  m_watches.erase(token);
}

void IrpWatchdog::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stopping) return;
    m_stopping = true;
  }
  KeSetEvent(&m_changed, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(m_thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

// Sleeps until the earliest deadline (or a change) and stops the machine
// for an IRP still held at its deadline.
void IrpWatchdog::Run() {
  for (;;) {
    VTime deadline = kInfinite;
    std::optional<Watch> expired;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_stopping) break;
      for (const auto &[token, watch] : m_watches) {
        if (watch.deadline <= m_scheduler.Now()) {
          expired = Innermost(token);
          break;
        }
        deadline = std::min(deadline, watch.deadline);
      }
    }
    if (expired) Fire(*expired);
    if (deadline == kInfinite) {
      KeWaitForSingleObject(&m_changed, Executive, KernelMode, FALSE, nullptr);
    } else {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -(deadline - m_scheduler.Now());
      KeWaitForSingleObject(&m_changed, Executive, KernelMode, FALSE, &timeout);
    }
  }
}

// A system power IRP waits for the device IRP its stack requested, and a
// PnP IRP may wait for one too: the latest IRP still out on the same stack
// is the one actually held. Under m_lock.
IrpWatchdog::Watch IrpWatchdog::Innermost(uint64_t token) const {
  const Watch &expired = m_watches.at(token);
  const Watch *innermost = &expired;
  for (auto it = m_watches.upper_bound(token); it != m_watches.end(); ++it) {
    if (it->second.target == expired.target) innermost = &it->second;
  }
  Watch chosen = *innermost;
  chosen.armedAt = expired.armedAt;  // the transition has waited since the first
  return chosen;
}

void IrpWatchdog::Fire(const Watch &watch) {
  std::ostringstream detail;
  detail << (watch.power ? "power" : "PnP") << " IRP " << watch.irp << " (" << watch.what << ") held by the stack of "
         << m_namer(watch.target) << " (top device " << watch.target << ", driver " << DriverName(watch.target)
         << ") for " << (m_scheduler.Now() - watch.armedAt) / (kTicksPerSecond / 1000) << " ms, past the limit of "
         << m_limit / (kTicksPerSecond / 1000) << " ms; ";
  std::string threads = m_scheduler.DescribeThreads();
  if (!watch.dispatched) {
    detail << "the driver has not returned from its dispatch routine: held by thread " << ThreadLine(threads, watch.sender);
  } else {
    detail << "the IRP is pending in the stack; threads:\n" << threads;
  }
  BugCheck(BugCode::kDriverPowerStateFailure, detail.str(), std::source_location::current());
}

}  // namespace winsim::pnp
