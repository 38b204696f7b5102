#include "winsim/ks/ks_mutexes.h"

#include <mutex>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"

namespace winsim::ks {
namespace {

std::mutex &RuntimeCreation() {
  static std::mutex lock;
  return lock;
}

void InitializeMutex(KsMutex *mutex, LockKind kind) {
  KeInitializeEvent(&mutex->event, SynchronizationEvent, TRUE);
  mutex->owner = nullptr;
  mutex->kind = kind;
}

}  // namespace

void AcquireMutex(KsMutex *mutex, const char *api, const std::source_location &site) {
  RequirePassive(api, site);
  PKTHREAD self = KeGetCurrentThread();
  if (__atomic_load_n(&mutex->owner, __ATOMIC_ACQUIRE) == self) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + ": the " + LockKindName(mutex->kind) + " is already held by this thread (acquired at " +
                 mutex->acquiredAt.file_name() + ":" + std::to_string(mutex->acquiredAt.line()) +
                 "); it is not recursive",
             site);
  }
  LockOrder::Instance().Acquiring(mutex, mutex->kind, site);
  KeWaitForSingleObject(&mutex->event, Executive, KernelMode, FALSE, nullptr);
  LockOrder::Instance().Acquired(mutex, mutex->kind, site);
  __atomic_store_n(&mutex->owner, self, __ATOMIC_RELEASE);
  mutex->acquiredAt = site;
}

void ReleaseMutex(KsMutex *mutex, const char *api, const std::source_location &site) {
  if (__atomic_load_n(&mutex->owner, __ATOMIC_ACQUIRE) != KeGetCurrentThread()) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + ": the " + LockKindName(mutex->kind) + " is not held by this thread", site);
  }
  LockOrder::Instance().Released(mutex);
  __atomic_store_n(&mutex->owner, static_cast<PKTHREAD>(nullptr), __ATOMIC_RELEASE);
  KeSetEvent(&mutex->event, IO_NO_INCREMENT, FALSE);
}

bool HoldsMutex(const KsMutex *mutex) {
  return __atomic_load_n(&mutex->owner, __ATOMIC_ACQUIRE) == KeGetCurrentThread();
}

FilterRuntime *RuntimeOf(FilterObject *filter) {
  std::lock_guard<std::mutex> guard(RuntimeCreation());
  if (filter->runtime != nullptr) return filter->runtime;
  auto *runtime = static_cast<FilterRuntime *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterRuntime), kRuntimeTag));
  if (runtime == nullptr) return nullptr;
  __builtin_memset(static_cast<void *>(runtime), 0, sizeof(FilterRuntime));
  InitializeMutex(&runtime->control, LockKind::KsFilterControlMutex);
  InitializeMutex(&runtime->process, LockKind::KsProcessMutex);
  const auto here = std::source_location::current();
  PKSDEVICE device = &filter->header.device->pub;
  LockOrder::Instance().Declare(device, LockKind::KsDeviceMutex, &runtime->control, LockKind::KsFilterControlMutex,
                                here);
  LockOrder::Instance().Declare(&runtime->control, LockKind::KsFilterControlMutex, &runtime->process,
                                LockKind::KsProcessMutex, here);
  LockOrder::Instance().Declare(device, LockKind::KsDeviceMutex, &runtime->process, LockKind::KsProcessMutex, here);
  filter->runtime = runtime;
  return runtime;
}

void FreeRuntime(FilterObject *filter) {
  FilterRuntime *runtime = nullptr;
  {
    std::lock_guard<std::mutex> guard(RuntimeCreation());
    runtime = filter->runtime;
    filter->runtime = nullptr;
  }
  if (runtime != nullptr) ExFreePoolWithTag(runtime, kRuntimeTag);
}

}  // namespace winsim::ks
