// Clock sources, the clock selector and the status-interrupt pipe, from the
// descriptors of the AudioControl interface's selected setting.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

void RecordClockName(UsbAudioControl *control, ULONG number, UCHAR stringIndex) {
  WCHAR name[UAC_CLOCK_NAME_CHARS];
  QavZeroMemory(name, sizeof(name));
  if (stringIndex != 0) {
    NTSTATUS status = UsbGetString(&control->device->config, stringIndex, kLanguageEnglishUs, name, sizeof(name));
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) QavZeroMemory(name, sizeof(name));
  }
  ClockSourceInfoSetName(control->clocks[number], name, UAC_CLOCK_NAME_CHARS);
}

// Clock sources are numbered in descriptor order; the first sixteen are kept.
void RecordClockSource(UsbAudioControl *control, const UCHAR *descriptor, ULONG number) {
  if (number >= kMaxClocks) {
    QAV_LOG(ClockSourceTableFull, static_cast<unsigned>(number));
    return;
  }
  UCHAR clockId = descriptor[kOffsetClockId];
  ULONG type = descriptor[kOffsetClockAttributes] & UAC_CLOCK_TYPE_MASK;
  ClockSourceInfo &info = control->clocks[number];
  info.Number = number;
  info.ClockId = clockId;
  info.SelectorId = 0;
  info.Attributes = type;
  control->clockIdByNumber[number] = clockId;
  control->clockCount = number + 1;
  RecordClockName(control, number, descriptor[kOffsetClockName]);
  QAV_LOG(ClockSourceFound, static_cast<unsigned>(number), static_cast<unsigned>(clockId), static_cast<unsigned>(type));
}

bool IsTracedOnlySubtype(UCHAR subtype) {
  return (subtype >= kAcHeader && subtype <= kAcExtensionUnit) || subtype == kAcClockMultiplier ||
         subtype == kAcSampleRateConverter;
}

// The only pipe of the setting, when it is an interrupt IN endpoint.
UsbPipe *FindInterruptPipe(const UsbInterface *controlInterface) {
  if (controlInterface->pipeCount != 1) return nullptr;
  UsbPipe *pipe = controlInterface->pipes[0];
  const USB_ENDPOINT_DESCRIPTOR *endpoint = pipe->endpoint;
  if (endpoint == nullptr || (endpoint->bmAttributes & kEndpointTransferMask) != kEndpointInterrupt) return nullptr;
  if ((pipe->endpointAddress & kEndpointDirectionIn) == 0) return nullptr;
  return pipe;
}

}  // namespace

void AudioControlParseClocks(UsbAudioControl *control) {
  UsbInterface *controlInterface = control->controlInterface;
  DescriptorBytes bytes = ConfigBytes(controlInterface->owner);
  ULONG sources = 0;
  for (auto *d = NextInterfaceDescriptor(bytes, controlInterface->descriptor, nullptr, kDescriptorTypeCsInterface);
       d != nullptr; d = NextInterfaceDescriptor(bytes, controlInterface->descriptor, d, kDescriptorTypeCsInterface)) {
    const UCHAR *raw = reinterpret_cast<const UCHAR *>(d);
    UCHAR subtype = d->bLength >= kMinClassDescriptorLength ? raw[kOffsetDescriptorSubtype] : 0;
    if (subtype == kAcClockSource && d->bLength >= kMinClockSourceLength) {
      RecordClockSource(control, raw, sources++);
    } else if (subtype == kAcClockSelector && d->bLength >= kMinClockSelectorLength) {
      control->selectorId = raw[kOffsetClockId];
    } else if (IsTracedOnlySubtype(subtype)) {
      QAV_LOG(AcSubtype, static_cast<unsigned>(subtype));
    } else {
      QAV_LOG(AcSubtypeUnknown, static_cast<unsigned>(subtype));
    }
  }
  control->interruptPipe = FindInterruptPipe(controlInterface);
}
