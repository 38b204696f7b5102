// The power manager's IRP watchdog: a power IRP (and a PnP IRP, which holds
// the PnP subsystem and so every power transition behind it) that a driver
// keeps past the limit stops the machine with DRIVER_POWER_STATE_FAILURE
// (0x9F), naming the device, the IRP and the thread that holds it and where
// that thread waits. Windows allows minutes; winsim counts virtual time, so
// its limit is a few seconds that cost nothing while nothing is held.
//
// One watchdog thread per manager waits for the earliest deadline. Arm,
// Dispatched and Disarm may be called from any simulated thread at
// PASSIVE_LEVEL or DISPATCH_LEVEL (they only take the watchdog's own lock
// and set its event).
#pragma once
#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "winsim/sched/scheduler.h"

namespace winsim::pnp {

inline constexpr VTime kDefaultIrpWatchdogLimit = 10 * kTicksPerSecond;

class IrpWatchdog {
 public:
  // Names the device of a watched IRP's target for the report.
  using DeviceNamer = std::function<std::string(PDEVICE_OBJECT target)>;

  IrpWatchdog(Scheduler &scheduler, DeviceNamer namer);
  ~IrpWatchdog();
  IrpWatchdog(const IrpWatchdog &) = delete;
  IrpWatchdog &operator=(const IrpWatchdog &) = delete;

  // The watchdog of the running Machine's manager, or null.
  static IrpWatchdog *Active();

  // 0 turns the watchdog off for IRPs armed from then on.
  void SetLimit(VTime limit);
  VTime Limit() const;

  // Starts watching an IRP about to be sent to target by the calling thread;
  // the returned token (0: not watched) goes to Dispatched once IoCallDriver
  // returned and to Disarm once the IRP is back.
  uint64_t Arm(PIRP irp, PDEVICE_OBJECT target, bool power, std::string what);
  void Dispatched(uint64_t token);
  void Disarm(uint64_t token);

  // Ends the thread (machine shutdown). PASSIVE_LEVEL on a simulated thread.
  void Stop();

 private:
  struct Watch {
    PIRP irp;
    PDEVICE_OBJECT target;
    bool power;
    std::string what;
    std::string sender;  // the thread that called IoCallDriver
    bool dispatched = false;
    VTime armedAt;
    VTime deadline;
  };

  void Run();
  Watch Innermost(uint64_t token) const;
  [[noreturn]] void Fire(const Watch &watch);

  Scheduler &m_scheduler;
  DeviceNamer m_namer;
  mutable std::mutex m_lock;
  std::map<uint64_t, Watch> m_watches;
  uint64_t m_next = 1;
  VTime m_limit = kDefaultIrpWatchdogLimit;
  bool m_stopping = false;
  KEVENT m_changed{};  // synchronization: the earliest deadline may have changed
  std::shared_ptr<SimThread> m_thread;
};

}  // namespace winsim::pnp
