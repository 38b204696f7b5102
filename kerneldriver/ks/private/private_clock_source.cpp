// Clock sources: the selected one (a 0-based number, the clock selector's
// input - 1), the selection, and each source's record.
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"

NTSTATUS ClockSourceGet(PrivateRequest *request) {
  const UsbAudioControl *control = request->device->audioControl;
  return PrivateReturnU32(request, control != nullptr ? AudioControlCurrentClockIndex(control) : 0);
}

// A number without a selector input behind it changes nothing and still
// succeeds: clients set the number a list of theirs gave them. The rates
// the sample-rates property lists are the current clock's, so a new clock's
// list is read (a list that cannot be read leaves the old one).
NTSTATUS ClockSourceSet(PrivateRequest *request) {
  UsbAudioControl *control = request->device->audioControl;
  if (control == nullptr) return STATUS_DEVICE_NOT_READY;
  const ULONG number = PrivateReadU32(request);
  if (number >= kMaxClocks) return STATUS_SUCCESS;
  NTSTATUS status = AudioControlSelectClockInput(control, number + 1);
  if (NT_SUCCESS(status)) status = AudioControlReadRateList(control);
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
