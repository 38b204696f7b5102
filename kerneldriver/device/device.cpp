// Creation (KS Add), Remove and destruction of the device context.
#include "kerneldriver/device/device.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/device/client_interface.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/device/hardware_id.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/device/settings.h"
#include "kerneldriver/stream/stream_sync.h"
#include "kerneldriver/usb/usb_configure.h"

namespace {

constexpr ULONG kRemoveLockMaxMinutes = 0;
constexpr ULONG kRemoveLockHighWatermark = 1000;

void DestroyStreamsAndControl(UsbAudioDevice *context) {
  UsbAudioDeviceDestroyMidiPorts(context);
  UsbAudioStreamDestroy(context->captureStream);
  context->captureStream = nullptr;
  UsbAudioStreamDestroy(context->renderStream);
  context->renderStream = nullptr;
  StreamSyncDestroy(context->streamSync);
  context->streamSync = nullptr;
  AudioControlDestroy(context->audioControl);
  context->audioControl = nullptr;
}

// Object-bag destructor: runs when ks.sys frees the KS device, or at once
// when the bag refused the context. Remove normally released the streams and
// the control object already; a device that never got that far still has them.
void DestroyContext(PVOID item) {
  auto *context = static_cast<UsbAudioDevice *>(item);
  DestroyStreamsAndControl(context);
  if (context->driverKey != nullptr) ZwClose(context->driverKey);
  ClientInterfaceFree(context);
  FilterDescriptorFree(context->filterDescriptor);
  UsbConfigFree(&context->config);
  QavFree(context->hardwareIdList, kTagSmall);
  QavFree(context, kTagObject);
}

// A stored 0 means nothing (the default stands); a size beyond what the
// streams can carry is cut to the largest they take.
void ReadPersistedUrbSize(UsbAudioDevice *context) {
  context->urbSize = kDefaultUrbSize;
  ULONG stored = 0;
  if (!NT_SUCCESS(DriverKeyReadDword(context, QAV_VALUE_URB_SIZE, &stored))) return;
  if (stored == 0 || stored > kMaxUrbSize) {
    QAV_LOG(StoredUrbSizeOutOfRange, static_cast<unsigned>(stored));
  }
  if (stored != 0) context->urbSize = QavMin(stored, kMaxUrbSize);
}

NTSTATUS InitializeContext(UsbAudioDevice *context, PKSDEVICE device) {
  StreamStateLockInitialize(&context->streamState);
  KeInitializeSpinLock(&context->midiLock);
  KeInitializeEvent(&context->audioPinGate, SynchronizationEvent, TRUE);
  context->device = device;
  context->config.lowerDevice = device->NextDeviceObject;
  NTSTATUS status = UsbConfigCreateInterfaces(&context->config);
  if (!NT_SUCCESS(status)) return status;
  context->filterDescriptor = FilterDescriptorCreate();
  if (context->filterDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->driverKey = DriverKeyOpen(device->PhysicalDeviceObject);
  ReadPersistedUrbSize(context);
  context->minUrbSize = kDefaultUrbSize;
  context->sampleRate = kDefaultSampleRate;
  context->openAudioPins = 0;
  IoInitializeRemoveLock(&context->removeLock, kTagRemoveLock, kRemoveLockMaxMinutes, kRemoveLockHighWatermark);
  ReadHardwareIds(context);
  return STATUS_SUCCESS;
}

// Waits until no deferred work (the endpoint-format update) holds the device.
void DrainRemoveLock(UsbAudioDevice *context) {
  NTSTATUS status = IoAcquireRemoveLock(&context->removeLock, context);
  if (NT_SUCCESS(status)) IoReleaseRemoveLockAndWait(&context->removeLock, context);
}

}  // namespace

NTSTATUS UsbAudioDeviceAdd(PKSDEVICE device) {
  auto *context = static_cast<UsbAudioDevice *>(QavAllocateNonPaged(sizeof(UsbAudioDevice), kTagObject));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = InitializeContext(context, device);
  if (NT_SUCCESS(status)) status = KsAddItemToObjectBag(device->Bag, context, DestroyContext);
  if (!NT_SUCCESS(status)) {
    DestroyContext(context);
    return status;
  }
  device->Context = context;
  QAV_LOG(DeviceAdded, static_cast<unsigned>(context->urbSize));
  return STATUS_SUCCESS;
}

void UsbAudioDeviceReleaseHardware(UsbAudioDevice *context) {
  DestroyStreamsAndControl(context);
  UsbDeconfigure(&context->config);
}

NTSTATUS UsbAudioDeviceQueryStop(PKSDEVICE device, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  UsbAudioDevice *context = AudioDeviceFromKs(device);
  if (context == nullptr) return STATUS_SUCCESS;
  LONG open = InterlockedCompareExchange(&context->openAudioPins, 0, 0);
  if (open == 0) return STATUS_SUCCESS;
  QAV_LOG(StopRefused, static_cast<int>(open));
  return STATUS_DEVICE_BUSY;
}

void UsbAudioDeviceStop(PKSDEVICE device, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  UsbAudioDevice *context = AudioDeviceFromKs(device);
  if (context == nullptr) return;
  QAV_LOG(DeviceStopped);
  UsbAudioDeviceReleaseHardware(context);
}

void UsbAudioDeviceRemove(PKSDEVICE device, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  UsbAudioDevice *context = AudioDeviceFromKs(device);
  if (context == nullptr) return;
  ClientInterfaceDisable(context);
  DestroyStreamsAndControl(context);
  UsbAudioDeviceRaiseEvent(context, KSEVENT_UAC_DEVICE_REMOVED, 0, nullptr);
  DrainRemoveLock(context);
  UsbDeconfigure(&context->config);
}
