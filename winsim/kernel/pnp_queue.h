// The PnP manager's device-action queue: actions run one at a time, in the
// order queued, at PASSIVE_LEVEL. Serial (the default), a system worker
// thread is borrowed while actions are waiting, so the actions take turns
// with work items. In parallel mode (winsim/sched/parallel_mode.h) they run
// on a system thread of their own, beside whatever work items run.
#pragma once
#include <wdm.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "winsim/sched/scheduler.h"

namespace winsim::pnp {

class PnpActionQueue {
 public:
  PnpActionQueue();
  ~PnpActionQueue();
  PnpActionQueue(const PnpActionQueue &) = delete;
  PnpActionQueue &operator=(const PnpActionQueue &) = delete;

  // Queues the action and waits until it has run. On the queue's own thread
  // (an action calling back into the manager) it runs at once instead.
  void Run(std::string what, std::function<void()> body);
  // Queues the action without waiting.
  void Queue(std::string what, std::function<void()> body);
  // Waits until the queue is empty and no action runs. PASSIVE_LEVEL.
  void WaitIdle();
  // Nothing queued or running at the moment of asking.
  bool Idle();
  bool OnQueueThread() const;

 private:
  struct Action;
  struct Drainer;

  std::shared_ptr<Action> Push(std::string what, std::function<void()> body);
  void StartDrainer();
  void Drain();

  mutable std::mutex m_lock;
  std::deque<std::shared_ptr<Action>> m_actions;
  bool m_draining = false;
  SimThread *m_runner = nullptr;
  std::shared_ptr<SimThread> m_drainThread;  // parallel mode: the latest drainer's
  KEVENT m_idle{};  // notification: set while nothing is queued or running
};

}  // namespace winsim::pnp
