// Changing UrbSize, the USB frames each isochronous transfer request covers.
#include "kerneldriver/audio_stream.h"
#include "kerneldriver/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/settings.h"

NTSTATUS UsbAudioDeviceSetUrbSize(UsbAudioDevice *device, ULONG urbSize) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  KsAcquireDevice(device->device);
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) UsbAudioStreamPause(stream);
  }
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) UsbAudioStreamSetFramesPerUrb(stream, urbSize);
  }
  device->urbSize = urbSize;
  UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_URB_SIZE_CHANGED, sizeof(urbSize), &urbSize);
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) UsbAudioStreamResume(stream);
  }
  KsReleaseDevice(device->device);
  DriverKeyWriteDword(device, QAV_VALUE_URB_SIZE, urbSize);
  return STATUS_SUCCESS;
}
