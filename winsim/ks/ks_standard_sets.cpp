// The property sets ks.sys answers from the descriptors: KSPROPSETID_Pin and
// KSPROPSETID_Topology on filters, KSPROPSETID_Connection on pins. A
// minidriver's own item for the same set and id (e.g. KSPROPERTY_PIN_NAME)
// is found first and replaces the answer here.
#include <cstring>
#include <vector>

#include "winsim/ks/ks_automation.h"
#include "winsim/ks/ks_pin.h"

namespace winsim::ks {
namespace {

KSIDENTIFIER Identifier(const GUID &set, ULONG id) {
  KSIDENTIFIER identifier{};
  identifier.Set = set;
  identifier.Id = id;
  return identifier;
}

const KSPIN_INTERFACE kStandardInterface = Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING);
const KSPIN_MEDIUM kStandardMedium = Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE);

FilterObject *FilterOfIrp(PIRP irp) {
  ObjectHeader *object = ObjectOfIrp(irp);
  return object != nullptr && object->type == KsObjectTypeFilter ? reinterpret_cast<FilterObject *>(object) : nullptr;
}

// The pin descriptor a KSP_PIN request names, or NULL (STATUS_INVALID_PARAMETER).
const KSPIN_DESCRIPTOR_EX *PinDescriptor(PIRP irp, PKSIDENTIFIER request) {
  FilterObject *filter = FilterOfIrp(irp);
  if (filter == nullptr || filter->pub.Descriptor == nullptr) return nullptr;
  const KSFILTER_DESCRIPTOR &descriptor = *filter->pub.Descriptor;
  ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  if (id >= descriptor.PinDescriptorsCount || descriptor.PinDescriptors == nullptr) return nullptr;
  ULONG stride = descriptor.PinDescriptorSize >= sizeof(KSPIN_DESCRIPTOR_EX) ? descriptor.PinDescriptorSize
                                                                            : sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX *>(reinterpret_cast<const UCHAR *>(descriptor.PinDescriptors) +
                                                       static_cast<size_t>(id) * stride);
}

ULONG CountPins(ObjectHeader *filter, ULONG id) {
  ULONG count = 0;
  for (ObjectHeader *child = FirstChild(filter); child != nullptr; child = NextSibling(child)) {
    if (child->type == KsObjectTypePin && reinterpret_cast<PinObject *>(child)->pub.Id == id) ++count;
  }
  return count;
}

template <class T>
NTSTATUS ReturnValue(PIRP irp, PVOID data, const T &value) {
  std::memcpy(data, &value, sizeof(T));
  irp->IoStatus.Information = sizeof(T);
  return STATUS_SUCCESS;
}

#define WITH_PIN(irp, request)                                            \
  const KSPIN_DESCRIPTOR_EX *pin = PinDescriptor(irp, request);           \
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;                    \
  const KSPIN_DESCRIPTOR &info = pin->PinDescriptor;                      \
  (void)info

NTSTATUS GetCTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  FilterObject *filter = FilterOfIrp(irp);
  if (filter == nullptr || filter->pub.Descriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  return ReturnValue<ULONG>(irp, data, filter->pub.Descriptor->PinDescriptorsCount);
}

NTSTATUS GetDataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  return ReturnValue<ULONG>(irp, data, info.DataFlow);
}

NTSTATUS GetCommunication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  return ReturnValue<ULONG>(irp, data, info.Communication);
}

NTSTATUS GetNecessary(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  return ReturnValue<ULONG>(irp, data, pin->InstancesNecessary);
}

NTSTATUS GetCInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  return ReturnValue(irp, data, KSPIN_CINSTANCES{pin->InstancesPossible, CountPins(ObjectOfIrp(irp), id)});
}

NTSTATUS GetGlobalCInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  ULONG current = 0;
  ObjectHeader *factory = ObjectOfIrp(irp)->parent;
  for (ObjectHeader *filter = FirstChild(factory); filter != nullptr; filter = NextSibling(filter)) {
    current += CountPins(filter, id);
  }
  return ReturnValue(irp, data, KSPIN_CINSTANCES{pin->InstancesPossible, current});
}

NTSTATUS GetCategory(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  if (info.Category == nullptr) return STATUS_NOT_FOUND;
  return ReturnValue(irp, data, *info.Category);
}

// Without the minidriver's handler there is no name to give: the media
// category names ks.sys would look up are not part of this machine.
NTSTATUS GetName(PIRP irp, PKSIDENTIFIER request, PVOID) {
  WITH_PIN(irp, request);
  return STATUS_NOT_FOUND;
}

NTSTATUS GetInterfaces(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (info.InterfacesCount == 0 || info.Interfaces == nullptr) {
    return ReturnMultipleItem(irp, data, size, 1, &kStandardInterface, sizeof(KSPIN_INTERFACE));
  }
  return ReturnMultipleItem(irp, data, size, info.InterfacesCount, info.Interfaces,
                            info.InterfacesCount * static_cast<ULONG>(sizeof(KSPIN_INTERFACE)));
}

NTSTATUS GetMediums(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (info.MediumsCount == 0 || info.Mediums == nullptr) {
    return ReturnMultipleItem(irp, data, size, 1, &kStandardMedium, sizeof(KSPIN_MEDIUM));
  }
  return ReturnMultipleItem(irp, data, size, info.MediumsCount, info.Mediums,
                            info.MediumsCount * static_cast<ULONG>(sizeof(KSPIN_MEDIUM)));
}

// Each range padded to 8 bytes, as ranges follow each other in a list.
NTSTATUS GetDataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  std::vector<UCHAR> ranges;
  for (ULONG i = 0; i < info.DataRangesCount && info.DataRanges != nullptr; ++i) {
    const KSDATARANGE *range = info.DataRanges[i];
    size_t at = ranges.size();
    ranges.resize(at + ((range->FormatSize + 7u) & ~7u), 0);
    std::memcpy(ranges.data() + at, range, range->FormatSize);
  }
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return ReturnMultipleItem(irp, data, size, info.DataRangesCount, ranges.data(), static_cast<ULONG>(ranges.size()));
}

bool GuidMatches(const GUID &a, const GUID &b) { return a == b || a == GUID_NULL || b == GUID_NULL; }

}  // namespace

bool RangeMatches(const KSDATARANGE &client, const KSDATARANGE &pin) {
  return GuidMatches(client.MajorFormat, pin.MajorFormat) && GuidMatches(client.SubFormat, pin.SubFormat) &&
         GuidMatches(client.Specifier, pin.Specifier);
}

namespace {

// One client range against the pin's ranges: the intersect handler decides
// for each matching one; without a handler a matching range is its own answer.
NTSTATUS IntersectOne(PIRP irp, PKSP_PIN request, const KSPIN_DESCRIPTOR_EX &pin, const KSDATARANGE &client,
                      PVOID data, ULONG dataSize) {
  const KSPIN_DESCRIPTOR &info = pin.PinDescriptor;
  for (ULONG i = 0; i < info.DataRangesCount && info.DataRanges != nullptr; ++i) {
    PKSDATARANGE range = info.DataRanges[i];
    if (!RangeMatches(client, *range)) continue;
    if (pin.IntersectHandler != nullptr) {
      ULONG size = 0;
      NTSTATUS status = pin.IntersectHandler(KsGetFilterFromIrp(irp), irp, request, const_cast<PKSDATARANGE>(&client),
                                             range, dataSize, dataSize > 0 ? data : nullptr, &size);
      if (status == STATUS_NO_MATCH) continue;
      irp->IoStatus.Information = size;
      return status;
    }
    NTSTATUS status = RequireDataSize(irp, dataSize, range->FormatSize);
    if (!NT_SUCCESS(status)) return status;
    std::memcpy(data, range, range->FormatSize);
    irp->IoStatus.Information = range->FormatSize;
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

// KSP_PIN, then a KSMULTIPLE_ITEM of the client's ranges.
NTSTATUS GetDataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  WITH_PIN(irp, request);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG requestSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG dataSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (requestSize < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
  auto *list = reinterpret_cast<const KSMULTIPLE_ITEM *>(reinterpret_cast<PUCHAR>(request) + sizeof(KSP_PIN));
  if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > requestSize - sizeof(KSP_PIN)) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  const UCHAR *at = reinterpret_cast<const UCHAR *>(list + 1);
  const UCHAR *end = reinterpret_cast<const UCHAR *>(list) + list->Size;
  for (ULONG i = 0; i < list->Count; ++i) {
    if (static_cast<size_t>(end - at) < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
    auto *client = reinterpret_cast<const KSDATARANGE *>(at);
    if (client->FormatSize < sizeof(KSDATARANGE) || client->FormatSize > static_cast<size_t>(end - at)) {
      return STATUS_INVALID_BUFFER_SIZE;
    }
    NTSTATUS status = IntersectOne(irp, reinterpret_cast<PKSP_PIN>(request), *pin, *client, data, dataSize);
    if (status != STATUS_NO_MATCH) return status;
    at += (client->FormatSize + 7u) & ~7u;
    if (at > end) break;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS GetTopologyCategories(PIRP irp, PKSIDENTIFIER, PVOID data) {
  FilterObject *filter = FilterOfIrp(irp);
  if (filter == nullptr || filter->pub.Descriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const KSFILTER_DESCRIPTOR &d = *filter->pub.Descriptor;
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return ReturnMultipleItem(irp, data, size, d.CategoriesCount, d.Categories,
                            d.CategoriesCount * static_cast<ULONG>(sizeof(GUID)));
}

NTSTATUS GetTopologyNodes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  FilterObject *filter = FilterOfIrp(irp);
  if (filter == nullptr || filter->pub.Descriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const KSFILTER_DESCRIPTOR &d = *filter->pub.Descriptor;
  std::vector<GUID> types;
  ULONG stride = d.NodeDescriptorSize >= sizeof(KSNODE_DESCRIPTOR) ? d.NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
  for (ULONG i = 0; i < d.NodeDescriptorsCount && d.NodeDescriptors != nullptr; ++i) {
    auto *node = reinterpret_cast<const KSNODE_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(d.NodeDescriptors) +
                                                             static_cast<size_t>(i) * stride);
    types.push_back(node->Type != nullptr ? *node->Type : GUID_NULL);
  }
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return ReturnMultipleItem(irp, data, size, static_cast<ULONG>(types.size()), types.data(),
                            static_cast<ULONG>(types.size() * sizeof(GUID)));
}

NTSTATUS GetTopologyConnections(PIRP irp, PKSIDENTIFIER, PVOID data) {
  FilterObject *filter = FilterOfIrp(irp);
  if (filter == nullptr || filter->pub.Descriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const KSFILTER_DESCRIPTOR &d = *filter->pub.Descriptor;
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return ReturnMultipleItem(irp, data, size, d.ConnectionsCount, d.Connections,
                            d.ConnectionsCount * static_cast<ULONG>(sizeof(KSTOPOLOGY_CONNECTION)));
}

}  // namespace

// Connection set handlers live with the connection state (ks_connection.cpp).
NTSTATUS GetConnectionState(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SetConnectionState(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS GetConnectionFormat(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SetConnectionFormat(PIRP irp, PKSIDENTIFIER request, PVOID data);

namespace {

#define PIN_ITEM(id, handler, minData) \
  DEFINE_KSPROPERTY_ITEM(id, handler, sizeof(KSP_PIN), minData, nullptr, nullptr, 0, nullptr, nullptr, 0)

const KSPROPERTY_ITEM kPinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, GetCTypes, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    PIN_ITEM(KSPROPERTY_PIN_DATAFLOW, GetDataFlow, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_DATARANGES, GetDataRanges, 0),
    PIN_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, GetDataIntersection, 0),
    PIN_ITEM(KSPROPERTY_PIN_INTERFACES, GetInterfaces, 0),
    PIN_ITEM(KSPROPERTY_PIN_MEDIUMS, GetMediums, 0),
    PIN_ITEM(KSPROPERTY_PIN_COMMUNICATION, GetCommunication, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_CINSTANCES, GetCInstances, sizeof(KSPIN_CINSTANCES)),
    PIN_ITEM(KSPROPERTY_PIN_GLOBALCINSTANCES, GetGlobalCInstances, sizeof(KSPIN_CINSTANCES)),
    PIN_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, GetNecessary, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_CATEGORY, GetCategory, sizeof(GUID)),
    PIN_ITEM(KSPROPERTY_PIN_NAME, GetName, 0),
};

#define TOPOLOGY_ITEM(id, handler) \
  DEFINE_KSPROPERTY_ITEM(id, handler, sizeof(KSPROPERTY), 0, nullptr, nullptr, 0, nullptr, nullptr, 0)

const KSPROPERTY_ITEM kTopologyItems[] = {
    TOPOLOGY_ITEM(KSPROPERTY_TOPOLOGY_CATEGORIES, GetTopologyCategories),
    TOPOLOGY_ITEM(KSPROPERTY_TOPOLOGY_NODES, GetTopologyNodes),
    TOPOLOGY_ITEM(KSPROPERTY_TOPOLOGY_CONNECTIONS, GetTopologyConnections),
};

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, GetConnectionState, sizeof(KSPROPERTY), sizeof(KSSTATE),
                           SetConnectionState, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, GetConnectionFormat, sizeof(KSPROPERTY), 0,
                           SetConnectionFormat, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kFilterSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kPinItems), kPinItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Topology, SIZEOF_ARRAY(kTopologyItems), kTopologyItems, 0, nullptr),
};
const KSPROPERTY_SET kPinSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(kConnectionItems), kConnectionItems, 0, nullptr),
};

}  // namespace

const KSPROPERTY_SET *StandardPropertySets(KSOBJECTTYPE type, ULONG *count) {
  if (type == KsObjectTypeFilter) {
    *count = SIZEOF_ARRAY(kFilterSets);
    return kFilterSets;
  }
  if (type == KsObjectTypePin) {
    *count = SIZEOF_ARRAY(kPinSets);
    return kPinSets;
  }
  *count = 0;
  return nullptr;
}

}  // namespace winsim::ks
