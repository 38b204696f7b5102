#include "kerneldriver/stream/audio_stream.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/stream_internal.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_configure.h"

UsbAudioStream *UsbAudioStreamCreate(UsbAudioDevice *device, UsbInterface *usbInterface, ULONG urbSize) {
  auto *stream = static_cast<UsbAudioStream *>(QavAllocateNonPaged(sizeof(UsbAudioStream), kTagObject));
  if (stream == nullptr) return nullptr;
  stream->device = device;
  stream->usbInterface = usbInterface;
  stream->framesPerUrb = urbSize;
  stream->minLateness = 16;
  KeInitializeSpinLock(&stream->pinLock);
  KeInitializeSpinLock(&stream->mixLock);
  KeInitializeEvent(&stream->allReturned, NotificationEvent, TRUE);
  KeInitializeEvent(&stream->recoveryIdle, NotificationEvent, TRUE);
  stream->recoveryWorkItem = IoAllocateWorkItem(device->device->FunctionalDeviceObject);
  if (stream->recoveryWorkItem == nullptr) {
    QavFree(stream, kTagObject);
    return nullptr;
  }
  return stream;
}

void UsbAudioStreamDestroy(UsbAudioStream *stream) {
  if (stream == nullptr) return;
  if (StreamRunning(stream) || stream->outstanding != 0) UsbAudioStreamStop(stream);
  KeWaitForSingleObject(&stream->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
  // The last completion may still be on its way out of its DPC.
  KeFlushQueuedDpcs();
  UsbAudioStreamStateLock(stream->device);
  StreamReleaseTransfers(stream);
  UsbAudioStreamStateUnlock(stream->device);
  IoFreeWorkItem(stream->recoveryWorkItem);
  QavFree(stream, kTagObject);
}

void UsbAudioStreamStateLock(UsbAudioDevice *device) { StreamStateLockAcquire(&device->streamState); }

void UsbAudioStreamStateUnlock(UsbAudioDevice *device) { StreamStateLockRelease(&device->streamState); }

bool UsbAudioStreamIsCapture(const UsbAudioStream *stream) {
  return (stream->dataEndpoint & kEndpointDirectionIn) != 0;
}

bool UsbAudioStreamHasPreparedTransfers(const UsbAudioStream *stream) { return stream->transferBuffer != nullptr; }

namespace {

NTSTATUS PrepareForRateLocked(UsbAudioStream *stream, ULONG rate, bool select) {
  if (UsbAudioStreamHasPreparedTransfers(stream)) return STATUS_DEVICE_BUSY;
  if (!NT_SUCCESS(UsbAudioStreamSelectFormat(stream, rate))) return STATUS_INSUFFICIENT_RESOURCES;
  if (select && !NT_SUCCESS(UsbSelectAlternateSetting(stream->usbInterface, stream->altSetting))) {
    return STATUS_DEVICE_NOT_READY;
  }
  NTSTATUS status = UsbSelectAlternateSetting(stream->usbInterface, 0);
  if (!NT_SUCCESS(status)) return status;
  stream->nominalRate = rate;
  stream->sampleAccumulator = 0;
  stream->samplesPerMicroframe = SamplesPerMicroframe(rate);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS UsbAudioStreamPrepareForRate(UsbAudioStream *stream, ULONG rate, bool select) {
  UsbAudioStreamStateLock(stream->device);
  NTSTATUS status = PrepareForRateLocked(stream, rate, select);
  UsbAudioStreamStateUnlock(stream->device);
  return status;
}

NTSTATUS UsbAudioStreamSetFramesPerUrb(UsbAudioStream *stream, ULONG framesPerUrb) {
  UsbAudioStreamStateLock(stream->device);
  const bool prepared = UsbAudioStreamHasPreparedTransfers(stream);
  if (!prepared) stream->framesPerUrb = framesPerUrb;
  UsbAudioStreamStateUnlock(stream->device);
  return prepared ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
}
