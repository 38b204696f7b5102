#include "kerneldriver/midi/midi_device.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/midi/midi_port.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

bool IsMidiStreaming(const UsbInterface *usbInterface) {
  return usbInterface != nullptr && UsbInterfaceClass(usbInterface) == kClassAudio &&
         UsbInterfaceSubClass(usbInterface) == kSubclassMidiStreaming;
}

// The next MIDI streaming pin of a descriptor filled at an earlier start.
ULONG NextExistingMidiPin(const DynamicFilterDescriptor *d, ULONG *cursor) {
  for (ULONG id = *cursor; id < d->filter.PinDescriptorsCount && id < kFilterMaxPins; ++id) {
    if (d->pins[id].PinDescriptor.DataRanges == d->midiRangeList) {
      *cursor = id + 1;
      return id;
    }
  }
  *cursor = d->filter.PinDescriptorsCount;
  return kNoFilterPin;
}

void AttachPort(UsbAudioDevice *device, UsbMidiPort *port, DynamicFilterDescriptor *pins, ULONG *cursor) {
  const MidiEndpointDirection endpoint = port->in ? MidiEndpointDirection::In : MidiEndpointDirection::Out;
  for (ULONG i = 0; i < port->cableCount; ++i) {
    const ULONG pin = pins != nullptr ? FilterDescriptorAddMidiCable(pins, endpoint)
                                      : NextExistingMidiPin(device->filterDescriptor, cursor);
    if (pin == kNoFilterPin || pin >= kMaxPins) {
      QAV_LOG(MidiCableNoPin, static_cast<unsigned>(i),
                static_cast<unsigned>(port->pipe->endpointAddress));
      continue;
    }
    device->midiPinCable[pin] = port->cables[i];
    ++device->midiPinCount[port->in ? kMidiPinsCapture : kMidiPinsRender];
  }
}

void AddPorts(UsbAudioDevice *device, const UsbInterface *usbInterface, DynamicFilterDescriptor *pins, ULONG *cursor) {
  for (ULONG p = 0; p < usbInterface->pipeCount && device->midiPortCount < kMaxMidiPorts; ++p) {
    UsbMidiPort *port = UsbMidiPortCreate(device, usbInterface->pipes[p]);
    if (port == nullptr) continue;
    device->midiPorts[device->midiPortCount++] = port;
    AttachPort(device, port, pins, cursor);
    UsbMidiPortStart(port);
  }
}

}  // namespace

void UsbAudioDeviceCreateMidiPorts(UsbAudioDevice *device, DynamicFilterDescriptor *pins) {
  ULONG cursor = 0;
  for (ULONG i = 0; i < UsbConfigInterfaceCount(&device->config); ++i) {
    const UsbInterface *usbInterface = UsbConfigInterface(&device->config, i);
    if (IsMidiStreaming(usbInterface)) AddPorts(device, usbInterface, pins, &cursor);
  }
}

void UsbAudioDeviceDestroyMidiPorts(UsbAudioDevice *device) {
  for (ULONG i = 0; i < device->midiPortCount; ++i) {
    UsbMidiPortDestroy(device->midiPorts[i]);
    device->midiPorts[i] = nullptr;
  }
  device->midiPortCount = 0;
  for (PVOID &cable : device->midiPinCable) cable = nullptr;
  device->midiPinCount[kMidiPinsCapture] = 0;
  device->midiPinCount[kMidiPinsRender] = 0;
}

void UsbAudioDeviceStartMidiPorts(UsbAudioDevice *device) {
  for (ULONG i = 0; i < device->midiPortCount; ++i) UsbMidiPortStart(device->midiPorts[i]);
}

void UsbAudioDeviceStopMidiPorts(UsbAudioDevice *device) {
  for (ULONG i = 0; i < device->midiPortCount; ++i) UsbMidiPortStop(device->midiPorts[i]);
}

UsbMidiCable *UsbAudioDeviceMidiCable(const UsbAudioDevice *device, ULONG pinId) {
  return pinId < kMaxPins ? static_cast<UsbMidiCable *>(device->midiPinCable[pinId]) : nullptr;
}
