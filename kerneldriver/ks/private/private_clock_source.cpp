// Clock sources: the selected one (a 0-based number, the clock selector's
// input - 1), the selection, and each source's record.
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/filter_descriptor.h"

NTSTATUS ClockSourceGet(PrivateRequest *request) {
  const UsbAudioControl *control = request->device->audioControl;
  return PrivateReturnU32(request, control != nullptr ? AudioControlCurrentClockIndex(control) : 0);
}

namespace {

// The audio pins' data ranges advertise the current clock's lowest and
// highest rate (pins at other rates are refused by their format check); an
// empty list leaves them as they are. The ranges live in the factory's
// descriptor, which every filter of the device answers from; the registry's
// copy for the graph builders follows, and is only a cache: a failure to
// rewrite it changes nothing the filters say.
void RangesFollowClock(UsbAudioDevice *device, const UsbAudioControl *control) {
  const ULONG highest = AudioControlHighestRate(control);
  if (device->filterDescriptor == nullptr || highest == 0) return;
  FilterDescriptorSetRateLimits(device->filterDescriptor, AudioControlLowestRate(control), highest);
  if (device->filterFactory != nullptr) (void)KsFilterFactoryUpdateCacheData(device->filterFactory, nullptr);
}

}  // namespace

// A number without a selector input behind it changes nothing and still
// succeeds: clients set the number a list of theirs gave them. The rates
// the sample-rates property lists and the pins' data ranges are the current
// clock's, so a new clock's list is read (a list that cannot be read leaves
// the old one). Under the KS device mutex, so two clients' changes do not
// mix their lists and limits.
NTSTATUS ClockSourceSet(PrivateRequest *request) {
  UsbAudioDevice *device = request->device;
  UsbAudioControl *control = device->audioControl;
  if (control == nullptr) return STATUS_DEVICE_NOT_READY;
  const ULONG number = PrivateReadU32(request);
  if (number >= kMaxClocks) return STATUS_SUCCESS;
  KsAcquireDevice(device->device);
  NTSTATUS status = AudioControlSelectClockInput(control, number + 1);
  if (NT_SUCCESS(status)) status = AudioControlReadRateList(control);
  if (NT_SUCCESS(status)) RangesFollowClock(device, control);
  KsReleaseDevice(device->device);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(ClockSourceNotSelected, static_cast<unsigned>(number), static_cast<unsigned>(status));
  }
  return STATUS_SUCCESS;
}

// Only a buffer of exactly one record is answered.
NTSTATUS ClockSourceInfoGet(PrivateRequest *request) {
  if (request->valueLength != sizeof(ClockSourceInfo)) return STATUS_INVALID_PARAMETER;
  const auto *indexed = reinterpret_cast<const KSP_UAC_INDEX *>(request->request);
  const ULONG number = indexed->Index;
  const UsbAudioControl *control = request->device->audioControl;
  if (number >= UAC_MAX_CLOCK_SOURCES || control == nullptr || number >= control->clockCount) {
    return STATUS_NOT_FOUND;
  }
  ClockSourceInfo info = control->clocks[number];
  info.SelectorId = control->selectorId;
  QavCopyMemory(request->value, &info, sizeof(info));
  request->returned = sizeof(info);
  return STATUS_SUCCESS;
}
