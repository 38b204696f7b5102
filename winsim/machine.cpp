#include "winsim/machine.h"

#include <cstdio>
#include <cstdlib>

#include "winsim/kernel/ke_time.h"
#include "winsim/kernel/pool.h"
#include "winsim/user/handles.h"

namespace winsim {
namespace {

Machine *g_current = nullptr;

}  // namespace

Machine::Machine(MachineOptions options) : m_options(std::move(options)) {
  if (g_current != nullptr) {
    std::fprintf(stderr, "winsim: a second Machine was created while one is running\n");
    std::abort();
  }
  g_current = this;
  DebugLog::Clear();
  DebugLog::SetEcho(m_options.echoLog);
  Pool::Instance().Reset();
  HandleTable::Instance().Reset();
  m_scheduler.Activate();
  m_scheduler.Attach(m_options.threadName, ThreadKind::Test);
  if (m_options.pacing > 0) m_scheduler.SetPacing(m_options.pacing);
}

Machine::~Machine() {
  m_scheduler.Detach();
  m_scheduler.ReapThreads();
  HandleTable::Instance().Reset();
  m_scheduler.Deactivate();
  g_current = nullptr;
}

Machine *Machine::Current() { return g_current; }

void Machine::RunFor(VTime duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  if (duration > 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Machine::RunUntil(const std::function<bool()> &pred, VTime timeout) {
  VTime deadline = timeout >= kInfinite - Now() ? kInfinite : Now() + timeout;
  return m_scheduler.WaitUntil(pred, deadline);
}

bool Machine::SaveState(std::string *error) {
  (void)error;
  return true;
}

}  // namespace winsim
