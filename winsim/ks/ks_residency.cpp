#include "winsim/ks/ks_residency.h"

#include "winsim/kernel/pool.h"

namespace winsim::ks {
namespace {

// Descriptor tables are small; larger counts are garbage, not something to walk.
constexpr ULONG kMaxEntries = 1024;

void RequireAutomation(const KSAUTOMATION_TABLE *table, const char *what, const std::source_location &site) {
  if (table == nullptr) return;
  RequireNonPaged(table, sizeof *table, what, site);
  if (table->EventSets != nullptr && table->EventSetsCount <= kMaxEntries) {
    RequireNonPaged(table->EventSets, table->EventSetsCount * sizeof(KSEVENT_SET), what, site);
  }
}

void RequireResidentPin(const KSPIN_DESCRIPTOR_EX &pin, const std::source_location &site) {
  if (pin.Dispatch != nullptr) RequireNonPaged(pin.Dispatch, sizeof(KSPIN_DISPATCH), "pin dispatch table", site);
  RequireAutomation(pin.AutomationTable, "pin automation table", site);
  if (pin.AllocatorFraming != nullptr) {
    RequireNonPaged(pin.AllocatorFraming, sizeof(KSALLOCATOR_FRAMING_EX), "pin allocator framing", site);
  }
  const KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  if (p.DataRanges == nullptr || p.DataRangesCount > kMaxEntries) return;
  RequireNonPaged(p.DataRanges, p.DataRangesCount * sizeof(PKSDATARANGE), "pin data range table", site);
  for (ULONG i = 0; i < p.DataRangesCount; ++i) {
    if (p.DataRanges[i] != nullptr) RequireNonPaged(p.DataRanges[i], sizeof(KSDATARANGE), "pin data range", site);
  }
}

}  // namespace

void RequireResidentDescriptor(const KSFILTER_DESCRIPTOR *descriptor, const std::source_location &site) {
  if (descriptor == nullptr || descriptor->PinDescriptorsCount > kMaxEntries ||
      (descriptor->PinDescriptors != nullptr && descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))) {
    return;  // the factory refuses such a descriptor on its own
  }
  const bool filterAtDispatch = (descriptor->Flags & KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING) != 0;
  auto pinAt = [descriptor](ULONG i) -> const KSPIN_DESCRIPTOR_EX & {
    return *reinterpret_cast<const KSPIN_DESCRIPTOR_EX *>(reinterpret_cast<const UCHAR *>(descriptor->PinDescriptors) +
                                                          static_cast<SIZE_T>(i) * descriptor->PinDescriptorSize);
  };
  bool anyAtDispatch = filterAtDispatch;
  for (ULONG i = 0; descriptor->PinDescriptors != nullptr && i < descriptor->PinDescriptorsCount; ++i) {
    anyAtDispatch |= (pinAt(i).Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0;
  }
  if (!anyAtDispatch) return;
  RequireNonPaged(descriptor, sizeof *descriptor, "filter descriptor of pins that process at DISPATCH_LEVEL", site);
  if (descriptor->PinDescriptors != nullptr) {
    RequireNonPaged(descriptor->PinDescriptors,
                    static_cast<SIZE_T>(descriptor->PinDescriptorsCount) * descriptor->PinDescriptorSize,
                    "pin descriptor table of pins that process at DISPATCH_LEVEL", site);
  }
  if (filterAtDispatch) {
    if (descriptor->Dispatch != nullptr) {
      RequireNonPaged(descriptor->Dispatch, sizeof(KSFILTER_DISPATCH), "filter dispatch table", site);
    }
    RequireAutomation(descriptor->AutomationTable, "filter automation table", site);
  }
  for (ULONG i = 0; descriptor->PinDescriptors != nullptr && i < descriptor->PinDescriptorsCount; ++i) {
    if (filterAtDispatch || (pinAt(i).Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0) {
      RequireResidentPin(pinAt(i), site);
    }
  }
}

}  // namespace winsim::ks
