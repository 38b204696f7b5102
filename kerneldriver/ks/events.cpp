// Raising KSEVENTSETID_UacPrivate events: every filter of every filter
// factory of the device gets the event. With no filter open nothing is
// raised. PASSIVE_LEVEL (the callers are PnP callbacks, property handlers and
// work items).
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"

void UsbAudioDeviceRaiseEvent(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data) {
  PKSDEVICE ksDevice = device->device;
  QAV_TRACE("event %u raised (%u bytes)", static_cast<unsigned>(eventId), static_cast<unsigned>(dataSize));
  for (PKSFILTERFACTORY factory = KsDeviceGetFirstChildFilterFactory(ksDevice); factory != nullptr;
       factory = KsFilterFactoryGetNextSiblingFilterFactory(factory)) {
    for (PKSFILTER filter = KsFilterFactoryGetFirstChildFilter(factory); filter != nullptr;
         filter = KsFilterGetNextSiblingFilter(filter)) {
      KsGenerateEvents(filter, &KSEVENTSETID_UacPrivate, eventId, dataSize, data, nullptr, nullptr);
    }
  }
}

void UsbAudioDeviceRaiseEventMutexHeld(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data) {
  PKSDEVICE ksDevice = device->device;
  QAV_TRACE("event %u raised (%u bytes)", static_cast<unsigned>(eventId), static_cast<unsigned>(dataSize));
  for (PKSFILTERFACTORY factory = KsDeviceGetFirstChildFilterFactory(ksDevice); factory != nullptr;
       factory = KsFilterFactoryGetNextSiblingFilterFactory(factory)) {
    for (PKSFILTER filter = KsFilterFactoryGetFirstChildFilter(factory); filter != nullptr;
         filter = KsFilterGetNextSiblingFilter(filter)) {
      KsGenerateEvents(filter, &KSEVENTSETID_UacPrivate, eventId, dataSize, data, nullptr, nullptr);
    }
  }
}
