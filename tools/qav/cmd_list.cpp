// `qav list`: every device of the driver with its name, its interface path
// and its filter's pins with their formats.
#include <cstring>

#include "tools/qav/device_commands.h"
#include "tools/qav/pin_summary.h"
#include "tools/qav/qav_device.h"
#include "uac2common/directks/ksplatform.h"
#include "uac2common/directks/pin.h"

namespace qav {
namespace {

QAV_DEFINE_GUID(kSubtypeMidi, 0x1d262760, 0xe957, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00);
QAV_DEFINE_GUID(kSubtypeMidiBus, 0x2ca15fa0, 0x6cfe, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00);
QAV_DEFINE_GUID(kSubtypeAnalog, 0x6dba3190, 0x67bd, 0x11cf, 0xa0, 0xf7, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4);

RangeSummary SummarizeRange(const BYTE *at, ULONG size) {
  KSDATARANGE range;
  std::memcpy(&range, at, sizeof range);
  RangeSummary summary;
  if (directks::GuidEquals(range.MajorFormat, directks::kFormatTypeAudio) &&
      directks::GuidEquals(range.SubFormat, directks::kSubtypePcm) && size >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, at, sizeof audio);
    summary.audio = true;
    summary.channels = audio.MaximumChannels;
    summary.minBits = audio.MinimumBitsPerSample;
    summary.maxBits = audio.MaximumBitsPerSample;
    summary.minRate = audio.MinimumSampleFrequency;
    summary.maxRate = audio.MaximumSampleFrequency;
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeMidi)) {
    summary.kind = "MIDI";
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeMidiBus)) {
    summary.kind = "MIDI bus";
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeAnalog)) {
    summary.kind = "analog";
  } else {
    summary.kind = "other format";
  }
  return summary;
}

// The pin's ranges from the KSMULTIPLE_ITEM the library kept: each range
// names its size, every step is checked against what the item holds.
PinSummary SummarizePin(const CKsPin &pin) {
  const KsPinDescriptor &descriptor = pin.GetDescriptor();
  PinSummary summary;
  summary.id = pin.GetId();
  summary.dataFlow = descriptor.DataFlow;
  summary.communication = descriptor.Communication;
  const KSMULTIPLE_ITEM *item = descriptor.DataRangesItem;
  if (item == nullptr || item->Size < sizeof(KSMULTIPLE_ITEM)) return summary;
  const BYTE *bytes = reinterpret_cast<const BYTE *>(item);
  size_t at = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < item->Count && item->Size - at >= sizeof(KSDATARANGE); ++i) {
    ULONG size = 0;
    std::memcpy(&size, bytes + at, sizeof size);
    if (size < sizeof(KSDATARANGE) || size > item->Size - at) break;
    summary.ranges.push_back(SummarizeRange(bytes + at, size));
    at += (static_cast<size_t>(size) + 7) & ~size_t{7};
    if (at >= item->Size) break;
  }
  return summary;
}

void ListPins(CConsole &console, const char *path) {
  HRESULT status = S_OK;
  CKsFilter *filter = new (std::nothrow) CKsFilter(path, &status);
  if (filter == nullptr || FAILED(status) || FAILED(filter->Instantiate())) {
    console.Out("  (the filter did not open)");
  } else if (FAILED(filter->EnumeratePins()) || filter->GetPins().GetCount() == 0) {
    console.Out("  (the filter lists no pins)");
  } else {
    for (const TListNode<CKsPin> *node = filter->GetPins().GetHead(); node != nullptr;
         node = TList<CKsPin>::GetNext(node)) {
      console.Out("  " + DescribePin(SummarizePin(*TList<CKsPin>::GetData(node))));
    }
  }
  if (filter != nullptr) filter->Release();
}

}  // namespace

int RunList(CConsole &console, const Args &) {
  CQavDevices devices;
  if (devices.Count() == 0) {
    console.Out("no QavAudio device is present");
    return kExitOk;
  }
  for (size_t i = 0; i < devices.Count(); ++i) {
    const DeviceEntry *entry = devices.Entry(i);
    console.Out("device " + std::to_string(i) + ": " + entry->FriendlyName);
    console.Out(std::string("  path: ") + entry->DevicePath);
    ListPins(console, entry->DevicePath);
  }
  return kExitOk;
}

}  // namespace qav
