#include "kerneldriver/audio_stream.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/uac2_descriptors.h"
#include "kerneldriver/usb_configure.h"

UsbAudioStream *UsbAudioStreamCreate(UsbAudioDevice *device, UsbInterface *usbInterface, ULONG urbSize) {
  auto *stream = static_cast<UsbAudioStream *>(QavAllocateNonPaged(sizeof(UsbAudioStream), kTagObject));
  if (stream == nullptr) return nullptr;
  stream->device = device;
  stream->usbInterface = usbInterface;
  stream->framesPerUrb = urbSize;
  return stream;
}

void UsbAudioStreamDestroy(UsbAudioStream *stream) {
  if (stream == nullptr) return;
  stream->running = false;
  QavFree(stream->transferBuffer, kTagBuffer);
  QavFree(stream, kTagObject);
}

bool UsbAudioStreamIsCapture(const UsbAudioStream *stream) {
  return (stream->dataEndpoint & kEndpointDirectionIn) != 0;
}

bool UsbAudioStreamHasPreparedTransfers(const UsbAudioStream *stream) { return stream->transferBuffer != nullptr; }

NTSTATUS UsbAudioStreamPrepareForRate(UsbAudioStream *stream, ULONG rate, bool select) {
  if (UsbAudioStreamHasPreparedTransfers(stream)) return STATUS_DEVICE_BUSY;
  if (!NT_SUCCESS(UsbAudioStreamSelectFormat(stream, rate))) return STATUS_INSUFFICIENT_RESOURCES;
  if (select && !NT_SUCCESS(UsbSelectAlternateSetting(stream->usbInterface, stream->altSetting))) {
    return STATUS_DEVICE_NOT_READY;
  }
  NTSTATUS status = UsbSelectAlternateSetting(stream->usbInterface, 0);
  if (!NT_SUCCESS(status)) return status;
  stream->nominalRate = rate;
  stream->sampleAccumulator = 0;
  stream->samplesPerMicroframe = static_cast<ULONG>((static_cast<ULONGLONG>(rate) << 16) / 8000);
  return STATUS_SUCCESS;
}

void UsbAudioStreamPause(UsbAudioStream *stream) {
  if (!stream->running) return;
  stream->paused = true;
  stream->running = false;
}

void UsbAudioStreamResume(UsbAudioStream *stream) {
  if (!stream->paused) return;
  stream->paused = false;
}

void UsbAudioStreamSetFramesPerUrb(UsbAudioStream *stream, ULONG framesPerUrb) {
  if (!UsbAudioStreamHasPreparedTransfers(stream)) stream->framesPerUrb = framesPerUrb;
}
