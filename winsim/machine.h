// The Machine: one simulated Windows computer. It owns the scheduler, the
// kernel's global state and the registry, runs virtual time for the test or
// tool that drives it, and (from the USB layer on) plugs devices in and out.
//
// One Machine exists at a time in a process. The thread that creates it is
// attached as a simulated test thread for the Machine's lifetime.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "winsim/kernel/debug_log.h"
#include "winsim/sched/scheduler.h"

namespace winsim {

struct MachineOptions {
  // Folder where the registry is loaded from at boot and saved to at
  // shutdown ("registry.reg"); empty: nothing persists.
  std::string stateFolder;
  // Real-time pacing factor (1.0 = virtual time follows the wall clock);
  // 0 runs as fast as possible.
  double pacing = 0;
  // Name of the creating thread in logs and reports.
  std::string threadName = "test";
  // Echo the debug log to stderr as it is written.
  bool echoLog = false;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  static Machine *Current();

  Scheduler &Threads() { return m_scheduler; }
  VTime Now() const { return m_scheduler.Now(); }

  // Lets virtual time pass for the calling (attached) thread.
  void RunFor(VTime duration);
  // Runs until pred holds at a quiescent moment or timeout passes; returns
  // whether pred held. pred runs under the dispatcher lock: it may read state
  // but must not call winsim.
  bool RunUntil(const std::function<bool()> &pred, VTime timeout);

  std::vector<LogLine> Log() const { return DebugLog::Snapshot(); }

  // Saves the registry to the state folder now (also done at shutdown).
  bool SaveState(std::string *error = nullptr);

 private:
  MachineOptions m_options;
  Scheduler m_scheduler;
  Machine *m_previous = nullptr;
};

}  // namespace winsim
