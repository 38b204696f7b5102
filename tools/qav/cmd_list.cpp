// `qav list`: every device of the driver with its name, its interface path
// and its filter's pins with their formats.

#include "tools/qav/device_commands.h"
#include "tools/qav/pin_summary.h"
#include "tools/qav/qav_device.h"
#include "uac2common/directks/ksplatform.h"
#include "uac2common/directks/pin.h"

namespace qav {
namespace {

// The pin's ranges from the KSMULTIPLE_ITEM the library kept, as far as the
// item holds what it says.
PinSummary SummarizePin(const CKsPin &pin) {
  const KsPinDescriptor &descriptor = pin.GetDescriptor();
  PinSummary summary;
  summary.id = pin.GetId();
  summary.dataFlow = descriptor.DataFlow;
  summary.communication = descriptor.Communication;
  const KSMULTIPLE_ITEM *item = descriptor.DataRangesItem;
  if (item != nullptr) (void)ReadDataRanges(reinterpret_cast<const uint8_t *>(item), item->Size, &summary.ranges);
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
