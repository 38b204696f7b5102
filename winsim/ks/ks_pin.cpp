// Pins: creation from a KSPIN_CONNECT and its data format relative to an
// open filter, and their close. Both run under the filter's control mutex,
// as AVStream calls the pin's Create and Close dispatches.
#include "winsim/ks/ks_pin.h"

#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_runtime.h"

namespace winsim::ks {
namespace {

bool SameIdentifier(const KSIDENTIFIER &a, const KSIDENTIFIER &b) { return a.Set == b.Set && a.Id == b.Id; }

// The connection request after the pin's create-item name (and a leading
// backslash), if any; *named tells whether the name was there.
bool ConnectBytes(PFILE_OBJECT file, const UCHAR **bytes, ULONG *size, bool *named) {
  *named = false;
  if (file == nullptr || file->FileName.Buffer == nullptr) return false;
  *bytes = reinterpret_cast<const UCHAR *>(file->FileName.Buffer);
  *size = file->FileName.Length;
  if (*size >= sizeof(char16_t) && reinterpret_cast<const char16_t *>(*bytes)[0] == u'\\') {
    *bytes += sizeof(char16_t);
    *size -= sizeof(char16_t);
  }
  static const char16_t kPrefix[] = KSSTRING_Pin u"\\";
  const ULONG prefixBytes = sizeof(kPrefix) - sizeof(char16_t);
  if (*size >= prefixBytes) {
    *named = true;
    for (ULONG i = 0; i < prefixBytes / sizeof(char16_t) && *named; ++i) {
      char16_t c;
      std::memcpy(&c, *bytes + i * sizeof(char16_t), sizeof(c));
      *named = RtlUpcaseUnicodeChar(c) == RtlUpcaseUnicodeChar(kPrefix[i]);
    }
  }
  if (*named) {
    *bytes += prefixBytes;
    *size -= prefixBytes;
  }
  return true;
}

const KSPIN_DESCRIPTOR_EX *DescriptorAt(const KSFILTER_DESCRIPTOR &filter, ULONG id) {
  if (id >= filter.PinDescriptorsCount || filter.PinDescriptors == nullptr) return nullptr;
  ULONG stride = filter.PinDescriptorSize >= sizeof(KSPIN_DESCRIPTOR_EX) ? filter.PinDescriptorSize
                                                                        : sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX *>(reinterpret_cast<const UCHAR *>(filter.PinDescriptors) +
                                                       static_cast<size_t>(id) * stride);
}

// The interface and medium must be ones the pin lists (the standard ones
// when it lists none), the format must fall in one of its ranges.
NTSTATUS CheckConnect(const KSPIN_DESCRIPTOR &info, const KSPIN_CONNECT &connect, const KSDATAFORMAT &format,
                      const KSDATARANGE **range) {
  bool interfaceOk = false;
  if (info.InterfacesCount == 0 || info.Interfaces == nullptr) {
    interfaceOk = connect.Interface.Set == KSINTERFACESETID_Standard &&
                  connect.Interface.Id == KSINTERFACE_STANDARD_STREAMING;
  }
  for (ULONG i = 0; i < info.InterfacesCount && info.Interfaces != nullptr; ++i) {
    interfaceOk = interfaceOk || SameIdentifier(info.Interfaces[i], connect.Interface);
  }
  bool mediumOk = false;
  if (info.MediumsCount == 0 || info.Mediums == nullptr) {
    mediumOk = connect.Medium.Set == KSMEDIUMSETID_Standard && connect.Medium.Id == KSMEDIUM_TYPE_ANYINSTANCE;
  }
  for (ULONG i = 0; i < info.MediumsCount && info.Mediums != nullptr; ++i) {
    mediumOk = mediumOk || SameIdentifier(info.Mediums[i], connect.Medium);
  }
  if (!interfaceOk || !mediumOk) return STATUS_NO_MATCH;
  for (ULONG i = 0; i < info.DataRangesCount && info.DataRanges != nullptr; ++i) {
    if (RangeMatches(format, *info.DataRanges[i])) {
      *range = info.DataRanges[i];
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

ULONG InstancesOf(FilterObject *filter, ULONG id) {
  ULONG count = 0;
  for (ObjectHeader *child = FirstChild(&filter->header); child != nullptr; child = NextSibling(child)) {
    if (child->type == KsObjectTypePin && reinterpret_cast<PinObject *>(child)->pub.Id == id) ++count;
  }
  return count;
}

PinObject *NewPin(FilterObject *filter, const KSPIN_DESCRIPTOR_EX *descriptor, const KSPIN_CONNECT &connect,
                  PKSDATAFORMAT format, PFILE_OBJECT file) {
  auto *pin = AllocateObject<PinObject>(kPinTag);
  if (pin == nullptr) return nullptr;
  InitializeHeader(&pin->header, KsObjectTypePin, &filter->header, filter->header.device);
  pin->filter = filter;
  pin->fileObject = file;
  KeInitializeSpinLock(&pin->queueLock);
  InitializeListHead(&pin->frames);
  InitializeListHead(&pin->irps);
  InitializeListHead(&pin->clones);
  KeInitializeEvent(&pin->processIdle, NotificationEvent, TRUE);
  pin->leading.leading = true;
  pin->leading.pub.Pin = &pin->pub;
  pin->pub.Descriptor = descriptor;
  pin->pub.Id = connect.PinId;
  pin->pub.Communication = descriptor->PinDescriptor.Communication;
  pin->pub.DataFlow = descriptor->PinDescriptor.DataFlow;
  pin->pub.ConnectionInterface = connect.Interface;
  pin->pub.ConnectionMedium = connect.Medium;
  pin->pub.ConnectionPriority = connect.Priority;
  pin->pub.ConnectionFormat = format;
  pin->pub.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
  pin->pub.DeviceState = KSSTATE_STOP;
  pin->pub.ClientState = KSSTATE_STOP;
  pin->pub.ResetState = KSRESET_END;
  return pin;
}

void DestroyPin(PinObject *pin, const std::source_location &site) {
  Unlink(&pin->header, site);
  if (pin->pub.Bag != nullptr) FreeBag(pin->pub.Bag, site);
  if (pin->pub.ConnectionFormat != nullptr) ExFreePoolWithTag(pin->pub.ConnectionFormat, kPinTag);
  ExFreePoolWithTag(pin, kPinTag);
}

NTSTATUS CallPinIrp(PFNKSPINIRP dispatch, PinObject *pin, PIRP irp, const char *what) {
  if (dispatch == nullptr) return STATUS_SUCCESS;
  const uint32_t locks = LocksHeld();
  NTSTATUS status = dispatch(&pin->pub, irp);
  RequireIrqlRestored(what, PASSIVE_LEVEL, std::source_location::current(), locks);
  return status;
}

// With the control mutex held: checks, builds and links the pin, and lets
// the minidriver accept it.
NTSTATUS CreateLocked(FilterObject *filter, const KSPIN_CONNECT &connect, PKSDATAFORMAT format, PIRP irp,
                      PinObject **created) {
  const KSPIN_DESCRIPTOR_EX *descriptor =
      filter->pub.Descriptor != nullptr ? DescriptorAt(*filter->pub.Descriptor, connect.PinId) : nullptr;
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  if (connect.PinToHandle != nullptr) return STATUS_INVALID_PARAMETER;
  const KSDATARANGE *range = nullptr;
  NTSTATUS status = CheckConnect(descriptor->PinDescriptor, connect, *format, &range);
  if (!NT_SUCCESS(status)) return status;
  if (InstancesOf(filter, connect.PinId) >= descriptor->InstancesPossible) return STATUS_TOO_MANY_OPENED_FILES;
  PinObject *pin = NewPin(filter, descriptor, connect, format, IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (pin == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Link(&pin->header);
  status = AllocateBag(filter->header.device, &pin->pub.Bag);
  const KSPIN_DISPATCH *dispatch = DispatchOf(pin);
  if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    status = dispatch->SetDataFormat(&pin->pub, nullptr, nullptr, range, nullptr);
  }
  if (NT_SUCCESS(status) && dispatch != nullptr) {
    status = CallPinIrp(dispatch->Create, pin, irp, "the minidriver's pin Create dispatch");
  }
  if (!NT_SUCCESS(status)) {
    pin->pub.ConnectionFormat = nullptr;  // the caller frees its copy
    DestroyPin(pin, std::source_location::current());
    return status;
  }
  *created = pin;
  return STATUS_SUCCESS;
}

NTSTATUS CreateFromIrp(FilterObject *filter, PIRP irp, PKSPIN *pin, bool requireName) {
  const UCHAR *bytes = nullptr;
  ULONG size = 0;
  bool named = false;
  if (!ConnectBytes(IoGetCurrentIrpStackLocation(irp)->FileObject, &bytes, &size, &named)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (requireName && !named) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (size < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
  KSPIN_CONNECT connect;
  std::memcpy(&connect, bytes, sizeof(connect));
  ULONG formatSize;
  std::memcpy(&formatSize, bytes + sizeof(connect), sizeof(formatSize));
  if (formatSize < sizeof(KSDATAFORMAT) || formatSize > size - sizeof(KSPIN_CONNECT)) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  auto *format = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPoolNx, formatSize, kPinTag));
  if (format == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(format, bytes + sizeof(connect), formatSize);
  format->FormatSize = formatSize;  // the size checked, whatever the buffer says now
  FilterRuntime *runtime = RuntimeOf(filter);
  if (runtime == nullptr) {
    ExFreePoolWithTag(format, kPinTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  AcquireMutex(&runtime->control, "creating a pin", std::source_location::current());
  PinObject *created = nullptr;
  NTSTATUS status = CreateLocked(filter, connect, format, irp, &created);
  ReleaseMutex(&runtime->control, "creating a pin", std::source_location::current());
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(format, kPinTag);
    return status;
  }
  if (pin != nullptr) *pin = &created->pub;
  return STATUS_SUCCESS;
}

void DeleteClones(PinObject *pin) {
  KIRQL irql;
  LIST_ENTRY completed;
  InitializeListHead(&completed);
  KeAcquireSpinLock(&pin->queueLock, &irql);
  while (!IsListEmpty(&pin->clones)) {
    auto *clone = CONTAINING_RECORD(RemoveHeadList(&pin->clones), StreamPointerObject, link);
    if (clone->frame != nullptr) ReleaseFrameLocked(pin, clone->frame, &completed);
    clone->signature = 0;
    ExFreePoolWithTag(clone, kStreamTag);
  }
  if (pin->leading.frame != nullptr) {
    Frame *frame = pin->leading.frame;
    pin->leading.frame = nullptr;
    pin->leading.locked = false;
    frame->passed = true;
    ReleaseFrameLocked(pin, frame, &completed);
  }
  KeReleaseSpinLock(&pin->queueLock, irql);
  CompleteStreamIrps(&completed);
}

}  // namespace

PinObject *PinOf(PKSPIN pin) {
  ObjectHeader *header = HeaderOf(pin, KsObjectTypePin);
  return header != nullptr ? reinterpret_cast<PinObject *>(header) : nullptr;
}

FilterRuntime *RuntimeOfPin(PinObject *pin) { return RuntimeOf(pin->filter); }

NTSTATUS CreatePin(PKSFILTER filter, PIRP irp, PKSPIN *pin) {
  const auto site = std::source_location::current();
  RequirePassive("creating a pin", site);
  if (pin != nullptr) *pin = nullptr;
  auto *parent = reinterpret_cast<FilterObject *>(LiveObject(filter, KsObjectTypeFilter, "creating a pin", site));
  NTSTATUS status = parent != nullptr ? CreateFromIrp(parent, irp, pin, false) : STATUS_INVALID_PARAMETER;
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RoutePinCreate(PKSFILTER filter, PIRP irp, PKSPIN *pin) {
  const auto site = std::source_location::current();
  RequirePassive("creating a pin", site);
  auto *parent = reinterpret_cast<FilterObject *>(LiveObject(filter, KsObjectTypeFilter, "creating a pin", site));
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  return CreateFromIrp(parent, irp, pin, true);
}

void ClosePin(PKSPIN pin, const std::source_location &site) {
  RequirePassive("closing a pin", site);
  auto *object = reinterpret_cast<PinObject *>(LiveObject(pin, KsObjectTypePin, "closing a pin", site));
  if (object == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "closing " + Hex(pin) + ", which is no open pin", site);
  }
  FilterRuntime *runtime = RuntimeOfPin(object);
  AcquireMutex(&runtime->control, "closing a pin", site);
  object->closing = TRUE;
  // On the way down a refusal does not keep the pin up: it is going anyway.
  while (object->pub.DeviceState != KSSTATE_STOP) {
    if (!NT_SUCCESS(ChangeState(object, KSSTATE_STOP))) {
      object->pub.DeviceState = static_cast<KSSTATE>(object->pub.DeviceState - 1);
    }
  }
  FlushQueue(object, STATUS_CANCELLED);
  ReleaseMutex(&runtime->control, "closing a pin", site);
  // A pass in progress on another thread (synchronous processing) ends
  // before the pin goes: it holds the process mutex while it runs.
  WaitProcessingIdle(object);
  AcquireMutex(&runtime->process, "closing a pin", site);
  ReleaseMutex(&runtime->process, "closing a pin", site);
  AcquireMutex(&runtime->control, "closing a pin", site);
  DeleteClones(object);
  const KSPIN_DISPATCH *dispatch = DispatchOf(object);
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = IoAllocateIrp(object->header.device->pub.FunctionalDeviceObject->StackSize, FALSE);
    if (irp != nullptr) {
      IoSetNextIrpStackLocation(irp);
      IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
      IoGetCurrentIrpStackLocation(irp)->FileObject = object->fileObject;
      CallPinIrp(dispatch->Close, object, irp, "the minidriver's pin Close dispatch");
      IoFreeIrp(irp);
    }
  }
  DestroyPin(object, site);
  ReleaseMutex(&runtime->control, "closing a pin", site);
}

}  // namespace winsim::ks

using namespace winsim::ks;

namespace {

FilterRuntime *RequireRuntime(PKSFILTER filter, const char *api, const std::source_location &site) {
  auto *object = reinterpret_cast<FilterObject *>(LiveObject(filter, KsObjectTypeFilter, api, site));
  if (object == nullptr) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
                     std::string(api) + " of " + winsim::Hex(filter) + ", which is no filter", site);
  }
  FilterRuntime *runtime = RuntimeOf(object);
  if (runtime == nullptr) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation, std::string(api) + ": out of pool", site);
  }
  return runtime;
}

}  // namespace

void KsFilterAcquireControl(PKSFILTER Filter, const std::source_location &winsimSite) {
  AcquireMutex(&RequireRuntime(Filter, "KsFilterAcquireControl", winsimSite)->control, "KsFilterAcquireControl",
               winsimSite);
}

void KsFilterReleaseControl(PKSFILTER Filter, const std::source_location &winsimSite) {
  ReleaseMutex(&RequireRuntime(Filter, "KsFilterReleaseControl", winsimSite)->control, "KsFilterReleaseControl",
               winsimSite);
}

void KsFilterAcquireProcessingMutex(PKSFILTER Filter, const std::source_location &winsimSite) {
  AcquireMutex(&RequireRuntime(Filter, "KsFilterAcquireProcessingMutex", winsimSite)->process,
               "KsFilterAcquireProcessingMutex", winsimSite);
}

void KsFilterReleaseProcessingMutex(PKSFILTER Filter, const std::source_location &winsimSite) {
  ReleaseMutex(&RequireRuntime(Filter, "KsFilterReleaseProcessingMutex", winsimSite)->process,
               "KsFilterReleaseProcessingMutex", winsimSite);
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin, const std::source_location &winsimSite) {
  ObjectHeader *header = LiveObject(Pin, KsObjectTypePin, "KsPinGetParentFilter", winsimSite);
  if (header == nullptr) return nullptr;
  return &reinterpret_cast<PinObject *>(header)->filter->pub;
}

void KsPinAcquireProcessingMutex(PKSPIN Pin, const std::source_location &winsimSite) {
  KsFilterAcquireProcessingMutex(KsPinGetParentFilter(Pin, winsimSite), winsimSite);
}

void KsPinReleaseProcessingMutex(PKSPIN Pin, const std::source_location &winsimSite) {
  KsFilterReleaseProcessingMutex(KsPinGetParentFilter(Pin, winsimSite), winsimSite);
}
