// Event lists of AVStream objects and the generation of events on them.
#include "winsim/ks/ks_events.h"

#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_objects.h"

namespace winsim::ks {
namespace {

// One generation's data waiting in a buffered entry.
struct BufferedData {
  LIST_ENTRY link;
  ULONG size;
  UCHAR data[1];
};

void FreeData(BufferedData *data) { ExFreePoolWithTag(data, kEventDataTag); }

void BufferData(PKSEVENT_ENTRY entry, ULONG size, const void *data) {
  PKSBUFFER_ITEM item = entry->BufferItem;
  if (item == nullptr) return;
  if (size > kMaxEventDataBytes) {
    DebugLog::Append("ks", "event data of " + std::to_string(size) + " bytes not buffered");
    return;
  }
  auto *copy = static_cast<BufferedData *>(
      ExAllocatePoolWithTag(NonPagedPoolNx, offsetof(BufferedData, data) + size, kEventDataTag));
  if (copy == nullptr) return;
  copy->size = size;
  if (size > 0 && data != nullptr) std::memcpy(copy->data, data, size);
  KIRQL irql;
  KeAcquireSpinLock(&item->DpcItem.AccessLock, &irql);
  ULONG count = 0;
  for (PLIST_ENTRY link = item->BufferList.Flink; link != &item->BufferList; link = link->Flink) ++count;
  BufferedData *dropped = nullptr;
  if (count >= kMaxBufferedEvents) {
    dropped = CONTAINING_RECORD(RemoveHeadList(&item->BufferList), BufferedData, link);
  }
  InsertTailList(&item->BufferList, &copy->link);
  KeReleaseSpinLock(&item->DpcItem.AccessLock, irql);
  if (dropped != nullptr) FreeData(dropped);
}

void SignalEvent(PKSEVENT_ENTRY entry) {
  PKSEVENTDATA data = entry->EventData;
  switch (entry->NotificationType) {
    case KSEVENTF_EVENT_HANDLE:
    case KSEVENTF_EVENT_OBJECT: {
      PVOID event = entry->Object;
      if (event == nullptr && entry->NotificationType == KSEVENTF_EVENT_OBJECT && data != nullptr) {
        event = data->EventObject.Event;
      }
      if (event != nullptr) KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
      break;
    }
    case KSEVENTF_SEMAPHORE_HANDLE:
    case KSEVENTF_SEMAPHORE_OBJECT: {
      PVOID semaphore = entry->Object;
      if (semaphore == nullptr && entry->NotificationType == KSEVENTF_SEMAPHORE_OBJECT && data != nullptr) {
        semaphore = data->SemaphoreObject.Semaphore;
      }
      LONG adjustment = entry->SemaphoreAdjustment != 0 ? static_cast<LONG>(entry->SemaphoreAdjustment) : 1;
      if (semaphore != nullptr) KeReleaseSemaphore(static_cast<PRKSEMAPHORE>(semaphore), IO_NO_INCREMENT, adjustment, FALSE);
      break;
    }
    case KSEVENTF_DPC:
      if (data != nullptr && data->Dpc.Dpc != nullptr) {
        InterlockedIncrement(reinterpret_cast<volatile LONG *>(&data->Dpc.ReferenceCount));
        KeInsertQueueDpc(data->Dpc.Dpc, entry, nullptr);
      }
      break;
    case KSEVENTF_WORKITEM:
      // A work item still queued from the last generation is not queued again.
      if (data != nullptr && data->WorkItem.WorkQueueItem != nullptr &&
          __atomic_load_n(&data->WorkItem.WorkQueueItem->List.Flink, __ATOMIC_ACQUIRE) == nullptr) {
        ExQueueWorkItem(data->WorkItem.WorkQueueItem, static_cast<WORK_QUEUE_TYPE>(data->WorkItem.WorkQueueType));
      }
      break;
    default: break;
  }
}

bool Matches(const KSEVENT_ENTRY &entry, const GUID *set, ULONG id) {
  if (entry.Flags & KSEVENT_ENTRY_DELETED) return false;
  if (entry.EventItem == nullptr || entry.EventItem->EventId != id) return false;
  if (set == nullptr) return true;
  return entry.EventSet != nullptr && entry.EventSet->Set != nullptr && *entry.EventSet->Set == *set;
}

// Only filters and pins carry events in AVStream; a device, a filter factory
// or anything else handed to an event call is the caller's fault.
ObjectHeader *RequireEventObject(PVOID object, const char *api, const std::source_location &site) {
  ObjectHeader *header = LiveObject(object, api, site);
  if (header == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " on " + Hex(object) + ", which is not an AVStream object", site);
  }
  if (header->type != KsObjectTypeFilter && header->type != KsObjectTypePin) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " on " + ObjectKindName(header->type) + " " + Hex(object) +
                 ": events belong to filters and pins only",
             site);
  }
  return header;
}

}  // namespace

void InitializeEventList(EventList *list) {
  KeInitializeSpinLock(&list->lock);
  InitializeListHead(&list->entries);
}

void DetachEvents(ObjectHeader *header) {
  ULONG detached = 0;
  KIRQL irql;
  KeAcquireSpinLock(&header->events.lock, &irql);
  while (!IsListEmpty(&header->events.entries)) {
    PLIST_ENTRY link = RemoveHeadList(&header->events.entries);
    InitializeListHead(link);
    ++detached;
  }
  KeReleaseSpinLock(&header->events.lock, irql);
  if (detached > 0) {
    DebugLog::Append("ks", std::to_string(detached) + " event(s) still enabled on an object being destroyed");
  }
}

bool TakeBufferedData(PKSEVENT_ENTRY entry, std::vector<UCHAR> *data) {
  PKSBUFFER_ITEM item = entry != nullptr ? entry->BufferItem : nullptr;
  if (item == nullptr) return false;
  KIRQL irql;
  KeAcquireSpinLock(&item->DpcItem.AccessLock, &irql);
  BufferedData *oldest = nullptr;
  if (!IsListEmpty(&item->BufferList)) {
    oldest = CONTAINING_RECORD(RemoveHeadList(&item->BufferList), BufferedData, link);
  }
  KeReleaseSpinLock(&item->DpcItem.AccessLock, irql);
  if (oldest == nullptr) return false;
  data->assign(oldest->data, oldest->data + oldest->size);
  FreeData(oldest);
  return true;
}

void DiscardBufferedData(PKSEVENT_ENTRY entry) {
  std::vector<UCHAR> ignored;
  while (TakeBufferedData(entry, &ignored)) {
  }
}

}  // namespace winsim::ks

using namespace winsim::ks;

void KsAddEvent(PVOID Object, PKSEVENT_ENTRY EventEntry, const std::source_location &winsimSite) {
  ObjectHeader *header = RequireEventObject(Object, "KsAddEvent", winsimSite);
  KIRQL irql;
  KeAcquireSpinLock(&header->events.lock, &irql);
  InsertTailList(&header->events.entries, &EventEntry->ListEntry);
  KeReleaseSpinLock(&header->events.lock, irql);
}

void KsGenerateEvents(PVOID Object, const GUID *EventSet, ULONG EventId, ULONG DataSize, PVOID Data,
                      PFNKSGENERATEEVENTCALLBACK CallBack, PVOID CallBackContext,
                      const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("KsGenerateEvents", winsimSite);
  ObjectHeader *header = RequireEventObject(Object, "KsGenerateEvents", winsimSite);
  KIRQL irql;
  KeAcquireSpinLock(&header->events.lock, &irql);
  for (PLIST_ENTRY link = header->events.entries.Flink; link != &header->events.entries; link = link->Flink) {
    PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry);
    if (!Matches(*entry, EventSet, EventId)) continue;
    if (CallBack != nullptr && !CallBack(CallBackContext, entry)) continue;
    KsGenerateDataEvent(entry, DataSize, Data);
  }
  KeReleaseSpinLock(&header->events.lock, irql);
}

NTSTATUS KsGenerateEvent(PKSEVENT_ENTRY EventEntry) { return KsGenerateDataEvent(EventEntry, 0, nullptr); }

NTSTATUS KsGenerateDataEvent(PKSEVENT_ENTRY EventEntry, ULONG DataSize, PVOID Data) {
  if (EventEntry == nullptr) return STATUS_INVALID_PARAMETER;
  if (EventEntry->Flags & KSEVENT_ENTRY_DELETED) return STATUS_SUCCESS;
  if (EventEntry->Flags & KSEVENT_ENTRY_BUFFERED) BufferData(EventEntry, DataSize, Data);
  SignalEvent(EventEntry);
  if (EventEntry->Flags & KSEVENT_ENTRY_ONESHOT) EventEntry->Flags |= KSEVENT_ENTRY_DELETED;
  return STATUS_SUCCESS;
}
