#include "kerneldriver/control/audio_control.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

NTSTATUS ClockRequest(UsbAudioControl *control, bool in, UCHAR request, UCHAR selector, UCHAR entity, PVOID buffer,
                      ULONG length) {
  ClassRequest classRequest{in, request, selector, 0, entity};
  ULONG transferred = 0;
  NTSTATUS status =
      UsbClassRequest(control->controlInterface, classRequest, buffer, length, kUsbTimeoutMs, &transferred);
  // A GET that came back short left part of the value unset.
  if (NT_SUCCESS(status) && in && transferred < length) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

void TraceClockState(const UsbAudioControl *control, ULONG rate) {
  QAV_LOG(ClockInUse, static_cast<unsigned>(control->currentClockId), static_cast<unsigned>(control->selectorInput),
          static_cast<unsigned>(rate));
  QAV_LOG(ClockRates, static_cast<unsigned>(control->rates[0]), static_cast<unsigned>(control->rates[1]),
          static_cast<unsigned>(control->rates[2]), static_cast<unsigned>(control->rates[3]),
          static_cast<unsigned>(control->rates[4]), static_cast<unsigned>(control->rates[5]),
          static_cast<unsigned>(control->rates[6]), static_cast<unsigned>(control->rates[7]));
}

// AudioControl start, after the clocks are known: the current clock follows
// the selector, the first clock's validity and the rate are read (the rate is
// written back as read), then the rate list; the status interrupt starts last.
void StartControl(UsbAudioControl *control) {
  control->currentClockId = control->clockIdByNumber[0];
  if (NT_SUCCESS(AudioControlReadSelector(control)) && control->selectorInput >= 1 &&
      control->selectorInput <= control->clockCount) {
    control->currentClockId = control->clockIdByNumber[control->selectorInput - 1];
  }
  if (control->clockCount > 0) AudioControlRefreshValidity(control, control->clockIdByNumber[0]);
  ULONG rate = 0;
  if (NT_SUCCESS(AudioControlReadRate(control, &rate))) AudioControlWriteRate(control, rate);
  NTSTATUS status = AudioControlReadRateList(control);
  if (!NT_SUCCESS(status)) QAV_LOG(RateListNotRead, static_cast<unsigned>(status));
  TraceClockState(control, rate);
  if (control->interruptPipe != nullptr) {
    status = AudioControlStartStatusInterrupt(control);
    if (!NT_SUCCESS(status)) QAV_LOG(StatusInterruptNotStarted, static_cast<unsigned>(status));
  }
}

}  // namespace

UsbAudioControl *AudioControlCreate(UsbAudioDevice *device, UsbInterface *controlInterface) {
  if (UsbInterfaceClass(controlInterface) != kClassAudio ||
      UsbInterfaceSubClass(controlInterface) != kSubclassAudioControl) {
    return nullptr;
  }
  auto *control = static_cast<UsbAudioControl *>(QavAllocateNonPaged(sizeof(UsbAudioControl), kTagObject));
  if (control == nullptr) return nullptr;
  control->device = device;
  control->controlInterface = controlInterface;
  KeInitializeSpinLock(&control->interruptLock);
  KeInitializeEvent(&control->interruptIdle, NotificationEvent, TRUE);
  AudioControlParseClocks(control);
  StartControl(control);
  return control;
}

void AudioControlDestroy(UsbAudioControl *control) {
  if (control == nullptr) return;
  AudioControlStopStatusInterrupt(control);
  QavFree(control, kTagObject);
}

NTSTATUS AudioControlReadRate(UsbAudioControl *control, ULONG *rate) {
  *rate = 0;
  if (control->currentClockId == 0) return STATUS_DEVICE_NOT_READY;
  UCHAR value[4] = {};
  NTSTATUS status = ClockRequest(control, true, kRequestCur, kClockControlFrequency, control->currentClockId, value,
                                 sizeof(value));
  if (NT_SUCCESS(status)) *rate = QavReadLe32(value);
  return status;
}

NTSTATUS AudioControlWriteRate(UsbAudioControl *control, ULONG rate) {
  if (control->currentClockId == 0) return STATUS_DEVICE_NOT_READY;
  UCHAR value[4] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16),
                    static_cast<UCHAR>(rate >> 24)};
  return ClockRequest(control, false, kRequestCur, kClockControlFrequency, control->currentClockId, value,
                      sizeof(value));
}

NTSTATUS AudioControlReadSelector(UsbAudioControl *control) {
  if (control->selectorId == 0) return STATUS_DEVICE_NOT_READY;
  UCHAR input = 0;
  NTSTATUS status =
      ClockRequest(control, true, kRequestCur, kSelectorControlInput, control->selectorId, &input, sizeof(input));
  if (NT_SUCCESS(status)) control->selectorInput = input;
  return status;
}

NTSTATUS AudioControlSelectClockInput(UsbAudioControl *control, ULONG input) {
  if (input == 0 || input > kMaxClocks || input > control->clockCount) return STATUS_INTERNAL_ERROR;
  if (control->selectorId == 0) return STATUS_DEVICE_NOT_READY;
  UCHAR value = static_cast<UCHAR>(input);
  NTSTATUS status =
      ClockRequest(control, false, kRequestCur, kSelectorControlInput, control->selectorId, &value, sizeof(value));
  if (NT_SUCCESS(status)) {
    control->selectorInput = value;
    control->currentClockId = control->clockIdByNumber[input - 1];
  }
  return status;
}

NTSTATUS AudioControlRefreshValidity(UsbAudioControl *control, UCHAR clockId) {
  ULONG number = 0;
  while (number < control->clockCount && control->clockIdByNumber[number] != clockId) ++number;
  if (number == control->clockCount) return STATUS_INVALID_PARAMETER;
  UCHAR frequency[4] = {};
  ClockRequest(control, true, kRequestCur, kClockControlFrequency, clockId, frequency, sizeof(frequency));
  UCHAR valid = 0;
  NTSTATUS status = ClockRequest(control, true, kRequestCur, kClockControlValidity, clockId, &valid, sizeof(valid));
  if (!NT_SUCCESS(status)) return status;
  ULONG &attributes = control->clocks[number].Attributes;
  attributes = valid != 0 ? (attributes | UAC_CLOCK_VALID) : (attributes & ~UAC_CLOCK_VALID);
  return status;
}

ULONG AudioControlCurrentClockIndex(const UsbAudioControl *control) {
  return static_cast<ULONG>(control->selectorInput) - 1;
}

bool AudioControlRateSupported(const UsbAudioControl *control, ULONG rate) {
  for (ULONG i = 0; i < kMaxRates && control->rates[i] != 0; ++i) {
    if (control->rates[i] == rate) return true;
  }
  return false;
}

ULONG AudioControlLowestRate(const UsbAudioControl *control) {
  ULONG lowest = control->rates[0];
  for (ULONG i = 1; i < kMaxRates && control->rates[i] != 0; ++i) lowest = QavMin(lowest, control->rates[i]);
  return lowest;
}

ULONG AudioControlHighestRate(const UsbAudioControl *control) {
  ULONG highest = 0;
  for (ULONG i = 0; i < kMaxRates && control->rates[i] != 0; ++i) highest = QavMax(highest, control->rates[i]);
  return highest;
}
