// Raising KSEVENTSETID_UacPrivate events: every filter of every filter
// factory of the device gets the event. With no filter open nothing is
// raised. The device's factory and filter lists are stable only under the
// KS device mutex: a client closing its filter changes them.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"

void UsbAudioDeviceRaiseEventMutexHeld(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data) {
  PKSDEVICE ksDevice = device->device;
  QAV_LOG(EventRaised, static_cast<unsigned>(eventId), static_cast<unsigned>(dataSize));
  for (PKSFILTERFACTORY factory = KsDeviceGetFirstChildFilterFactory(ksDevice); factory != nullptr;
       factory = KsFilterFactoryGetNextSiblingFilterFactory(factory)) {
    for (PKSFILTER filter = KsFilterFactoryGetFirstChildFilter(factory); filter != nullptr;
         filter = KsFilterGetNextSiblingFilter(filter)) {
      KsGenerateEvents(filter, &KSEVENTSETID_UacPrivate, eventId, dataSize, data, nullptr, nullptr);
    }
  }
}

void UsbAudioDeviceRaiseEvent(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data) {
  KsAcquireDevice(device->device);
  UsbAudioDeviceRaiseEventMutexHeld(device, eventId, dataSize, data);
  KsReleaseDevice(device->device);
}
