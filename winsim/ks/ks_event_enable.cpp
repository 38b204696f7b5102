// IOCTL_KS_ENABLE_EVENT / IOCTL_KS_DISABLE_EVENT from user mode: the request
// (KSEVENT) in the input buffer, the caller's KSEVENTDATA in the output
// buffer. Only the handle notification types reach the kernel from user
// mode; the handle is resolved in the caller's handle table and its object
// referenced until the event is disabled. The caller's KSEVENTDATA address
// names the enabled event for disabling and for buffered-data queries.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "winsim/kernel/io_irp_table.h"
#include "winsim/ks/ks_automation.h"
#include "winsim/ks/ks_events.h"
#include "winsim/ks/ks_mutexes.h"
#include "winsim/ks/ks_pin.h"
#include "winsim/user/kernel32_objects.h"

namespace winsim::ks {
namespace {

struct EnabledEvent {
  KSEVENT_ENTRY entry;
  KSBUFFER_ITEM buffer;
  KSEVENTDATA data;  // the kernel copy
  std::shared_ptr<UserObject> reference;
  PVOID userData;  // names the event
  PFILE_OBJECT fileObject;
  ObjectHeader *owner;
};

struct EnabledEvents {
  std::mutex lock;
  std::vector<EnabledEvent *> list;
};
EnabledEvents &Enabled() {
  static EnabledEvents events;
  return events;
}

NTSTATUS Resolve(EnabledEvent *event) {
  const KSEVENTDATA &data = event->data;
  if (data.NotificationType == KSEVENTF_EVENT_HANDLE) {
    auto object = HandleTable::Instance().Lookup(data.EventHandle.Event);
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    auto *user = dynamic_cast<UserEvent *>(object.get());
    if (user == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    event->entry.Object = &user->header;
    event->reference = object;
    return STATUS_SUCCESS;
  }
  if (data.NotificationType == KSEVENTF_SEMAPHORE_HANDLE) {
    auto object = HandleTable::Instance().Lookup(data.SemaphoreHandle.Semaphore);
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    auto *user = dynamic_cast<UserSemaphore *>(object.get());
    if (user == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    event->entry.Object = &user->header;
    event->entry.SemaphoreAdjustment = static_cast<ULONG>(data.SemaphoreHandle.Adjustment);
    event->reference = object;
    return STATUS_SUCCESS;
  }
  // Kernel objects, DPCs and work items cannot come from user mode.
  return STATUS_INVALID_PARAMETER;
}

void Unlink(EnabledEvent *event) {
  ObjectHeader *owner = event->owner;
  KIRQL irql;
  KeAcquireSpinLock(&owner->events.lock, &irql);
  if (!IsListEmpty(&event->entry.ListEntry)) RemoveEntryList(&event->entry.ListEntry);
  InitializeListHead(&event->entry.ListEntry);
  KeReleaseSpinLock(&owner->events.lock, irql);
}

void Destroy(EnabledEvent *event) {
  const KSEVENT_ITEM *item = event->entry.EventItem;
  if (item != nullptr && item->RemoveHandler != nullptr) {
    item->RemoveHandler(event->fileObject, &event->entry);
    InitializeListHead(&event->entry.ListEntry);
  }
  Unlink(event);
  DiscardBufferedData(&event->entry);
  event->~EnabledEvent();
  ExFreePoolWithTag(event, kEventEntryTag);
}

// Takes the matching events out of the list (they are destroyed unlocked).
std::vector<EnabledEvent *> Take(ObjectHeader *owner, PFILE_OBJECT file, PVOID userData, bool all) {
  std::vector<EnabledEvent *> taken;
  std::lock_guard<std::mutex> guard(Enabled().lock);
  auto &list = Enabled().list;
  for (auto it = list.begin(); it != list.end();) {
    EnabledEvent *event = *it;
    bool match = event->owner == owner && (file == nullptr || event->fileObject == file) &&
                 (all || event->userData == userData);
    if (match) {
      taken.push_back(event);
      it = list.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

EnabledEvent *Find(ObjectHeader *owner, PVOID userData) {
  std::lock_guard<std::mutex> guard(Enabled().lock);
  for (EnabledEvent *event : Enabled().list) {
    if (event->owner == owner && event->userData == userData) return event;
  }
  return nullptr;
}

NTSTATUS QueryBuffer(ObjectHeader *owner, PIRP irp, const CapturedRequest &captured) {
  if (captured.requestSize < sizeof(KSQUERYBUFFER)) return STATUS_INVALID_BUFFER_SIZE;
  auto *query = reinterpret_cast<const KSQUERYBUFFER *>(captured.request);
  EnabledEvent *event = Find(owner, query->EventData);
  if (event == nullptr || !(event->entry.Flags & KSEVENT_ENTRY_BUFFERED)) return STATUS_INVALID_PARAMETER;
  std::vector<UCHAR> data;
  if (!TakeBufferedData(&event->entry, &data)) return STATUS_NOT_FOUND;
  if (captured.dataSize < data.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!data.empty()) std::memcpy(captured.data, data.data(), data.size());
  irp->IoStatus.Information = data.size();
  return STATUS_SUCCESS;
}

NTSTATUS Enable(ObjectHeader *owner, PIRP irp, const CapturedRequest &captured) {
  const auto &request = *reinterpret_cast<const KSEVENT *>(captured.request);
  const ULONG type = request.Flags & ~KSEVENT_TYPE_TOPOLOGY;
  if (type == KSEVENT_TYPE_QUERYBUFFER) return QueryBuffer(owner, irp, captured);
  const KSEVENT_SET *set = nullptr;
  bool setFound = false;
  const KSEVENT_ITEM *item = FindEventItem(owner, &request, &set, &setFound);
  if (type == KSEVENT_TYPE_SETSUPPORT) return setFound ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  if (item == nullptr) return STATUS_NOT_FOUND;
  if (type == KSEVENT_TYPE_BASICSUPPORT) {
    if (item->SupportHandler == nullptr) return STATUS_SUCCESS;
    return item->SupportHandler(irp, reinterpret_cast<PKSIDENTIFIER>(captured.request), captured.data);
  }
  if (type != KSEVENT_TYPE_ENABLE && type != KSEVENT_TYPE_ONESHOT && type != KSEVENT_TYPE_ENABLEBUFFERED) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG minimum = item->DataInput > sizeof(KSEVENTDATA) ? item->DataInput : sizeof(KSEVENTDATA);
  if (captured.dataSize < minimum) return STATUS_BUFFER_TOO_SMALL;
  void *memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(EnabledEvent) + item->ExtraEntryData, kEventEntryTag);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(memory, 0, sizeof(EnabledEvent) + item->ExtraEntryData);
  auto *event = new (memory) EnabledEvent();
  std::memcpy(&event->data, captured.data, sizeof(KSEVENTDATA));
  // The caller's KSEVENTDATA names the event from now on: its own address,
  // not the copy this request carried.
  event->userData = CallerAddress(irp, irp->UserBuffer);
  event->fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  event->owner = owner;
  KSEVENT_ENTRY &entry = event->entry;
  InitializeListHead(&entry.ListEntry);
  entry.EventData = &event->data;
  entry.NotificationType = event->data.NotificationType;
  entry.EventSet = set;
  entry.EventItem = item;
  entry.FileObject = event->fileObject;
  if (type == KSEVENT_TYPE_ONESHOT) entry.Flags |= KSEVENT_ENTRY_ONESHOT;
  if (type == KSEVENT_TYPE_ENABLEBUFFERED) {
    entry.Flags |= KSEVENT_ENTRY_BUFFERED;
    KeInitializeSpinLock(&event->buffer.DpcItem.AccessLock);
    InitializeListHead(&event->buffer.BufferList);
    entry.BufferItem = &event->buffer;
  }
  NTSTATUS status = Resolve(event);
  if (NT_SUCCESS(status) && item->AddHandler != nullptr) {
    status = item->AddHandler(irp, &event->data, &entry);
  } else if (NT_SUCCESS(status)) {
    KsAddEvent(PublicOf(owner), &entry);
  }
  if (!NT_SUCCESS(status)) {
    Unlink(event);
    event->~EnabledEvent();
    ExFreePoolWithTag(event, kEventEntryTag);
    return status;
  }
  std::lock_guard<std::mutex> guard(Enabled().lock);
  Enabled().list.push_back(event);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS EnableEvent(ObjectHeader *owner, PIRP irp) {
  irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSEVENT)) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  CapturedRequest captured{};
  NTSTATUS status = CaptureRequest(irp, &captured);
  if (!NT_SUCCESS(status)) return status;
  status = Enable(owner, irp, captured);
  ReleaseRequest(irp, &captured, NT_SUCCESS(status));
  return status;
}

// The input is the caller's KSEVENTDATA naming the event; no input disables
// every event the file object enabled.
NTSTATUS DisableEvent(ObjectHeader *owner, PIRP irp) {
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
  PVOID named = CallerAddress(irp, stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (size == 0) {
    for (EnabledEvent *event : Take(owner, stack->FileObject, nullptr, true)) Destroy(event);
    return STATUS_SUCCESS;
  }
  if (size < sizeof(KSEVENTDATA)) return STATUS_INVALID_BUFFER_SIZE;
  std::vector<EnabledEvent *> taken = Take(owner, stack->FileObject, named, false);
  if (taken.empty()) return STATUS_UNSUCCESSFUL;
  for (EnabledEvent *event : taken) Destroy(event);
  return STATUS_SUCCESS;
}

void DisableFileEvents(ObjectHeader *owner, PFILE_OBJECT file) {
  for (EnabledEvent *event : Take(owner, file, nullptr, true)) Destroy(event);
}

void ReleaseRuntimeState(ObjectHeader *header) {
  if (header->type != KsObjectTypeFilter && header->type != KsObjectTypePin) return;
  for (EnabledEvent *event : Take(header, nullptr, nullptr, true)) Destroy(event);
  if (header->type == KsObjectTypeFilter) FreeRuntime(reinterpret_cast<FilterObject *>(header));
}

}  // namespace winsim::ks
