#include "winsim/kernel/pnp_queue.h"

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/sched/parallel_mode.h"

namespace winsim::pnp {

struct PnpActionQueue::Action {
  std::string what;
  std::function<void()> body;
  KEVENT done{};  // notification
};

// The work entry that lends the queue a system worker; it frees itself.
struct PnpActionQueue::Drainer {
  WorkEntry entry;  // first: the worker hands it back
  PnpActionQueue *queue;

  static void Run(WorkEntry *entry) {
    auto *drainer = reinterpret_cast<Drainer *>(entry);
    PnpActionQueue *queue = drainer->queue;
    delete drainer;
    queue->Drain();
  }
  static void Discard(WorkEntry *entry) { delete reinterpret_cast<Drainer *>(entry); }
};

PnpActionQueue::PnpActionQueue() { KeInitializeEvent(&m_idle, NotificationEvent, TRUE); }

// The drainer signals idleness under the lock; taking the lock once more
// waits until it has let go, after which it no longer touches the queue.
// In parallel mode the drainer's thread is also waited for, so the machine
// finds it ended.
PnpActionQueue::~PnpActionQueue() {
  std::shared_ptr<SimThread> drainer;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    drainer = m_drainThread;
  }
  if (drainer != nullptr && Scheduler::Current() != nullptr) {
    KeWaitForSingleObject(drainer->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  }
}

std::shared_ptr<PnpActionQueue::Action> PnpActionQueue::Push(std::string what, std::function<void()> body) {
  auto action = std::make_shared<Action>();
  action->what = std::move(what);
  action->body = std::move(body);
  KeInitializeEvent(&action->done, NotificationEvent, FALSE);
  bool startDrainer = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_actions.push_back(action);
    KeClearEvent(&m_idle);
    if (!m_draining) {
      m_draining = true;
      startDrainer = true;
    }
  }
  if (startDrainer) StartDrainer();
  return action;
}

void PnpActionQueue::StartDrainer() {
  if (ParallelMode::Instance().On()) {
    // The thread ends once the queue is empty; the machine reaps it.
    auto thread =
        Scheduler::Active()->Spawn("pnp actions", ThreadKind::SystemWorker, kSystemProcessId, [this] { Drain(); });
    std::lock_guard<std::mutex> guard(m_lock);
    m_drainThread = std::move(thread);
    return;
  }
  auto *drainer = new Drainer{{&Drainer::Run, &Drainer::Discard, nullptr, std::source_location::current()}, this};
  SystemWorkers::Instance().Queue(&drainer->entry, DelayedWorkQueue);
}

void PnpActionQueue::Run(std::string what, std::function<void()> body) {
  if (OnQueueThread()) {
    body();
    return;
  }
  std::shared_ptr<Action> action = Push(std::move(what), std::move(body));
  KeWaitForSingleObject(&action->done, Executive, KernelMode, FALSE, nullptr);
}

void PnpActionQueue::Queue(std::string what, std::function<void()> body) { Push(std::move(what), std::move(body)); }

void PnpActionQueue::WaitIdle() {
  if (OnQueueThread()) return;
  KeWaitForSingleObject(&m_idle, Executive, KernelMode, FALSE, nullptr);
}

bool PnpActionQueue::Idle() { return KeReadStateEvent(&m_idle) != 0; }

bool PnpActionQueue::OnQueueThread() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_runner != nullptr && m_runner == Scheduler::Current();
}

void PnpActionQueue::Drain() {
  for (;;) {
    std::shared_ptr<Action> action;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_actions.empty()) {
        m_draining = false;
        m_runner = nullptr;
        KeSetEvent(&m_idle, IO_NO_INCREMENT, FALSE);
        return;
      }
      action = m_actions.front();
      m_actions.pop_front();
      m_runner = Scheduler::Current();
    }
    DebugLog::Append("pnp", action->what);
    action->body();
    KeSetEvent(&action->done, IO_NO_INCREMENT, FALSE);
  }
}

}  // namespace winsim::pnp
