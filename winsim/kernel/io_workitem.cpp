// IoAllocateWorkItem / IoQueueWorkItem(Ex) / IoFreeWorkItem, caller-allocated
// work items and the executive's ExQueueWorkItem, all run by SystemWorkers.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/pool.h"

using winsim::BugCheck;
using winsim::BugCode;

struct _IO_WORKITEM {
  winsim::WorkEntry entry;  // first: the worker hands it back
  ULONG signature;
  bool fromPool;
  volatile LONG queued;  // set from queuing until the routine starts
  PVOID ioObject;
  PIO_WORKITEM_ROUTINE routine;
  PIO_WORKITEM_ROUTINE_EX routineEx;
  PVOID context;
};

namespace {

constexpr ULONG kWorkItemSignature = MAKEFOURCC_TAG('W', 'k', 'I', 't');

PIO_WORKITEM ItemOf(winsim::WorkEntry *entry) { return reinterpret_cast<PIO_WORKITEM>(entry); }

void RunIoWorkItem(winsim::WorkEntry *entry) {
  PIO_WORKITEM item = ItemOf(entry);
  PIO_WORKITEM_ROUTINE routine = item->routine;
  PIO_WORKITEM_ROUTINE_EX routineEx = item->routineEx;
  PVOID ioObject = item->ioObject;
  PVOID context = item->context;
  __atomic_store_n(&item->queued, 0, __ATOMIC_RELEASE);  // from here the routine may requeue or free it
  if (routineEx != nullptr) {
    routineEx(ioObject, context, item);
  } else {
    routine(static_cast<PDEVICE_OBJECT>(ioObject), context);
  }
}

void DiscardIoWorkItem(winsim::WorkEntry *entry) { __atomic_store_n(&ItemOf(entry)->queued, 0, __ATOMIC_RELEASE); }

void InitializeItem(PIO_WORKITEM item, PVOID ioObject, bool fromPool) {
  std::memset(static_cast<void *>(item), 0, sizeof(*item));
  item->signature = kWorkItemSignature;
  item->fromPool = fromPool;
  item->ioObject = ioObject;
  item->entry.run = RunIoWorkItem;
  item->entry.discard = DiscardIoWorkItem;
  item->entry.object = item;
  item->entry.executive = false;
  auto device = static_cast<PDEVICE_OBJECT>(ioObject);
  item->entry.device = winsim::IsLiveDevice(device) ? device : nullptr;
}

// WORKER_INVALID 2: a queued I/O work item freed (or uninitialised).
void RequireNotQueued(PIO_WORKITEM item, const char *api, const std::source_location &site) {
  if (__atomic_load_n(&item->queued, __ATOMIC_ACQUIRE) == 0) return;
  BugCheck(BugCode::kWorkerInvalid,
           std::string(api) + " of work item " + winsim::Hex(item) + " while it is queued (queued at " +
               winsim::SiteText(item->entry.queuedAt) + ")",
           site);
}

PIO_WORKITEM RequireItem(PIO_WORKITEM item, const char *api, const std::source_location &site) {
  if (item == nullptr || item->signature != kWorkItemSignature) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " of " + winsim::Hex(item) + ", which is not an initialized work item", site);
  }
  return item;
}

void Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PIO_WORKITEM_ROUTINE_EX routineEx,
           WORK_QUEUE_TYPE type, PVOID context, const char *api, const std::source_location &site) {
  winsim::RequireAtMostDispatch(api, site);
  RequireItem(item, api, site);
  winsim::RequireNonPaged(item, sizeof *item, "work item", site);
  if (routine == nullptr && routineEx == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, std::string(api) + " without a routine", site);
  }
  // WORKER_INVALID 1: an active work item queued again.
  if (InterlockedCompareExchange(&item->queued, 1, 0) != 0) {
    BugCheck(BugCode::kWorkerInvalid,
             std::string(api) + " of work item " + winsim::Hex(item) + ", which is already queued (queued at " +
                 item->entry.queuedAt.file_name() + ":" + std::to_string(item->entry.queuedAt.line()) + ")",
             site);
  }
  item->routine = routine;
  item->routineEx = routineEx;
  item->context = context;
  item->entry.queuedAt = site;
  winsim::SystemWorkers::Instance().Queue(&item->entry, type);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoAllocateWorkItem", winsimSite);
  if (!winsim::IsLiveDevice(DeviceObject)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoAllocateWorkItem for " + winsim::Hex(DeviceObject) + ", which is not a live device object",
             winsimSite);
  }
  auto item = static_cast<PIO_WORKITEM>(
      winsim::Pool::Instance().Allocate(NonPagedPoolNx, sizeof(struct _IO_WORKITEM), winsim::kWorkItemTag, winsimSite));
  if (item == nullptr) return nullptr;
  InitializeItem(item, DeviceObject, true);
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem, const std::source_location &winsimSite) {
  RequireItem(IoWorkItem, "IoFreeWorkItem", winsimSite);
  if (!IoWorkItem->fromPool) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoFreeWorkItem of a caller-allocated work item; use IoUninitializeWorkItem", winsimSite);
  }
  RequireNotQueued(IoWorkItem, "IoFreeWorkItem", winsimSite);
  IoWorkItem->signature = 0;
  winsim::Pool::Instance().Free(IoWorkItem, winsim::kWorkItemTag, true, winsimSite);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context, const std::source_location &winsimSite) {
  Queue(IoWorkItem, WorkerRoutine, nullptr, QueueType, Context, "IoQueueWorkItem", winsimSite);
}

void IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context, const std::source_location &winsimSite) {
  Queue(IoWorkItem, nullptr, WorkerRoutine, QueueType, Context, "IoQueueWorkItemEx", winsimSite);
}

ULONG IoSizeofWorkItem(void) { return sizeof(struct _IO_WORKITEM); }

void IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem) { InitializeItem(IoWorkItem, IoObject, false); }

void IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem, const std::source_location &winsimSite) {
  RequireItem(IoWorkItem, "IoUninitializeWorkItem", winsimSite);
  RequireNotQueued(IoWorkItem, "IoUninitializeWorkItem", winsimSite);
  IoWorkItem->signature = 0;
}

namespace {

// An executive work item's queue entry lives beside it (WORK_QUEUE_ITEM has
// no room); List.Flink marks the item queued, as on Windows.
struct ExWorkEntry {
  winsim::WorkEntry entry;
  PWORK_QUEUE_ITEM item;
};

void RunExWorkItem(winsim::WorkEntry *entry) {
  auto *ex = reinterpret_cast<ExWorkEntry *>(entry);
  PWORK_QUEUE_ITEM item = ex->item;
  delete ex;
  PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
  PVOID parameter = item->Parameter;
  __atomic_store_n(&item->List.Flink, nullptr, __ATOMIC_RELEASE);
  routine(parameter);
}

void DiscardExWorkItem(winsim::WorkEntry *entry) { delete reinterpret_cast<ExWorkEntry *>(entry); }

}  // namespace

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("ExQueueWorkItem", winsimSite);
  if (WorkItem->WorkerRoutine == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "ExQueueWorkItem of " + winsim::Hex(WorkItem) + ", which was not set up with ExInitializeWorkItem",
             winsimSite);
  }
  PLIST_ENTRY unqueued = nullptr;
  if (!__atomic_compare_exchange_n(&WorkItem->List.Flink, &unqueued, &WorkItem->List, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    BugCheck(BugCode::kWorkerInvalid, "ExQueueWorkItem of " + winsim::Hex(WorkItem) + ", which is queued already",
             winsimSite);
  }
  winsim::RequireNonPaged(WorkItem, sizeof *WorkItem, "executive work item", winsimSite);
  auto *ex = new ExWorkEntry{{RunExWorkItem, DiscardExWorkItem, nullptr, winsimSite, WorkItem, true}, WorkItem};
  winsim::SystemWorkers::Instance().Queue(&ex->entry, QueueType);
}
