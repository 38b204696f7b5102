#include "kerneldriver/ks/filter_automation.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/ks/private/private_properties.h"
#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/midi/midi_pin_name.h"

namespace {

QAV_DEFINE_GUID(kPropertySetPin, STATIC_KSPROPSETID_Pin);

constexpr ULONG kPrivateEvents = 4;  // KSEVENT_UAC_SAMPLE_RATE_CHANGED .. KSEVENT_UAC_DEVICE_REMOVED

const KSPROPERTY_ITEM kPinProperties[] = {
    {KSPROPERTY_PIN_NAME, {FilterPinNameHandler}, sizeof(KSP_PIN), 0, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_SET kPropertySets[] = {
    {&kPropertySetPin, QavCountOf(kPinProperties), kPinProperties, 0, nullptr},
    {&KSPROPSETID_UacPrivate, kPrivatePropertyCount, kPrivatePropertyItems, 0, nullptr},
};

const KSMETHOD_SET kMethodSets[] = {
    {&KSMETHODSETID_UacUsb, kPrivateMethodCount, kPrivateMethodItems, 0, nullptr},
};

// Raised by the driver (the first set) or only accepted (the second); ks.sys
// keeps the enabled entries on the filter, so no handlers are needed.
const KSEVENT_ITEM kPrivateEventItems[kPrivateEvents] = {
    {0, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr},
    {1, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr},
    {2, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr},
    {3, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr},
};

const KSEVENT_SET kEventSets[] = {
    {&KSEVENTSETID_UacPrivate, kPrivateEvents, kPrivateEventItems},
    {&KSEVENTSETID_UacPrivate2, kPrivateEvents, kPrivateEventItems},
};

// MIDI pins are named after their cable once a direction has more than one.
bool PinNamedByCable(const UsbAudioDevice *device, ULONG pinId) {
  if (pinId >= kMaxPins || device->midiPinCable[pinId] == nullptr) return false;
  return device->midiPinCount[0] > 1 || device->midiPinCount[1] > 1;
}

// The cable's pin name: the filter's friendly name and the cable's port number.
NTSTATUS CablePinName(const UsbAudioDevice *device, ULONG pinId, PVOID data, ULONG dataLength, ULONG *returned) {
  return MidiPinName(device, UsbAudioDeviceMidiCable(device, pinId), data, dataLength, returned);
}

}  // namespace

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, nullptr, nullptr, nullptr};

const KSAUTOMATION_TABLE kFilterAutomation = {
    QavCountOf(kPropertySets), sizeof(KSPROPERTY_ITEM), kPropertySets, QavCountOf(kMethodSets), sizeof(KSMETHOD_ITEM),
    kMethodSets,
    QavCountOf(kEventSets),    sizeof(KSEVENT_ITEM),    kEventSets,
};

NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp) {
  (void)irp;
  UsbAudioDevice *device = AudioDeviceFromKs(KsFilterGetDevice(filter));
  if (device == nullptr) return STATUS_INTERNAL_ERROR;
  filter->Context = device;
  return STATUS_SUCCESS;
}

NTSTATUS FilterPinName(const UsbAudioDevice *device, ULONG pinId, PVOID data, ULONG dataLength, ULONG *returned) {
  *returned = 0;
  const DynamicFilterDescriptor *descriptor = device->filterDescriptor;
  if (descriptor == nullptr || pinId >= descriptor->filter.PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  if (PinNamedByCable(device, pinId)) return CablePinName(device, pinId, data, dataLength, returned);
  return STATUS_SUCCESS;
}

NTSTATUS FilterPinNameHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (irp == nullptr) return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  if (request == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSP_PIN)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG dataLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (dataLength != 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
  if (stack->DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  const UsbAudioDevice *device = AudioDeviceFromKs(KsGetDeviceForDeviceObject(stack->DeviceObject));
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG returned = 0;
  NTSTATUS status = FilterPinName(device, reinterpret_cast<const KSP_PIN *>(request)->PinId, data, dataLength,
                                  &returned);
  irp->IoStatus.Information = returned;
  return status;
}
