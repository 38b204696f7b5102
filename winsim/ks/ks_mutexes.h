// AVStream's two filter-level mutexes beside the device mutex: the filter's
// control mutex (KsFilterAcquireControl; its pins share it) guards property
// handlers, pin creation and state changes; the process mutex
// (KsFilterAcquireProcessingMutex / the pin's processing) keeps processing
// single-threaded. The order is device -> filter control -> process, declared
// to the lock-order checker when the filter's mutexes are made, so taking
// them the other way round stops the machine the first time it happens.
// Neither is recursive. PASSIVE_LEVEL to acquire.
#pragma once
#include <wdm.h>
#include <ks.h>

#include <source_location>

#include "winsim/kernel/lock_order.h"
#include "winsim/ks/ks_objects.h"

namespace winsim::ks {

struct KsMutex {
  KEVENT event;
  PKTHREAD owner;
  LockKind kind;
  std::source_location acquiredAt;
};

struct FilterRuntime {
  KsMutex control;
  KsMutex process;
};

void AcquireMutex(KsMutex *mutex, const char *api, const std::source_location &site);
void ReleaseMutex(KsMutex *mutex, const char *api, const std::source_location &site);
bool HoldsMutex(const KsMutex *mutex);

// The filter's mutexes, made the first time anyone needs them (the filter
// object itself is built by the create path). NULL only when pool runs out.
FilterRuntime *RuntimeOf(FilterObject *filter);
void FreeRuntime(FilterObject *filter);

}  // namespace winsim::ks
