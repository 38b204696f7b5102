// KS PostStart: the device is configured, modelled, clocked and given its
// filter factory, in this order. Each failing step ends the start with its
// status unless noted. PASSIVE_LEVEL, serialised with the other PnP callbacks.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/client_interface.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/device/settings.h"
#include "kerneldriver/stream/stream_sync.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_configure.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr USHORT kProductWithClockSequence = 0x800C;
constexpr ULONG kClockSequenceFirst = 96000;
constexpr ULONG kClockSequenceSecond = 44100;
constexpr ULONG kMinMinUrbSize = 1;
constexpr ULONG kMaxMinUrbSize = 10;
WCHAR kReferenceString[] = QAV_W("GLOBAL");

// The product string only names the filter: a device without one (iProduct
// 0, or no readable US-English string) starts with an empty name. A name
// longer than the buffer is kept truncated.
void ReadProductName(UsbAudioDevice *device) {
  UCHAR index = device->config.deviceDescriptor.iProduct;
  QavZeroMemory(device->productName, sizeof(device->productName));
  if (index == 0) {
    QAV_LOG(NoProductString);
    return;
  }
  NTSTATUS status =
      UsbGetString(&device->config, index, kLanguageEnglishUs, device->productName, sizeof(device->productName));
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
    QAV_LOG(ProductStringNotRead, static_cast<unsigned>(index), static_cast<unsigned>(status));
    QavZeroMemory(device->productName, sizeof(device->productName));
  }
}

bool InFirmwareUpdateMode(const UsbAudioDevice *device) {
  if (UsbConfigInterfaceCount(&device->config) != 1) return false;
  const UsbInterface *only = UsbConfigInterface(&device->config, 0);
  return UsbInterfaceClass(only) == kClassApplicationSpecific &&
         UsbInterfaceSubClass(only) == kSubclassFirmwareUpdate;
}

// The stored rate when the clock accepts it, else the rate the clock runs at.
NTSTATUS SettleSampleRate(UsbAudioDevice *device) {
  UsbAudioControl *control = device->audioControl;
  if (device->config.deviceDescriptor.idProduct == kProductWithClockSequence) {
    AudioControlWriteRate(control, kClockSequenceFirst);
    AudioControlWriteRate(control, kClockSequenceSecond);
  }
  ULONG rate = 0;
  NTSTATUS status = AudioControlReadRate(control, &rate);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(SamplingFrequencyNotRead, static_cast<unsigned>(control->currentClockId),
              static_cast<unsigned>(status));
    return status;
  }
  ULONG stored = 0;
  if (NT_SUCCESS(DriverKeyReadDword(device, QAV_VALUE_SAMPLE_RATE, &stored)) &&
      NT_SUCCESS(AudioControlWriteRate(control, stored))) {
    rate = stored;
  }
  device->sampleRate = rate;
  return STATUS_SUCCESS;
}

NTSTATUS PrepareStreams(UsbAudioDevice *device) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream == nullptr) continue;
    NTSTATUS status = UsbAudioStreamPrepareForRate(stream, device->sampleRate, false);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// With both streams the render packets follow the capture packets (implicit feedback).
NTSTATUS PairStreams(UsbAudioDevice *device) {
  StreamSyncDestroy(device->streamSync);
  device->streamSync = nullptr;
  if (device->captureStream != nullptr) device->captureStream->streamSync = nullptr;
  if (device->renderStream != nullptr) device->renderStream->streamSync = nullptr;
  if (device->captureStream == nullptr || device->renderStream == nullptr) return STATUS_SUCCESS;
  device->streamSync = StreamSyncCreate(device->captureStream, device->renderStream);
  return device->streamSync != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The smallest UrbSize the render stream sustains becomes the minimum, and
// UrbSize is raised to it when below. The second probe's result is used; a
// second probe that fails keeps the first one's. Always 1 to 10.
void MeasureMinimumUrbSize(UsbAudioDevice *device) {
  if (device->renderStream == nullptr) return;
  ULONG measured = UsbAudioStreamLatencyProbe(device->renderStream);
  if (measured != 0) {
    ULONG second = UsbAudioStreamLatencyProbe(device->renderStream);
    if (second != 0) {
      measured = second;
    } else {
      QAV_LOG(SecondProbeFailed);
    }
  }
  device->minUrbSize = QavMin(QavMax(measured, kMinMinUrbSize), kMaxMinUrbSize);
  if (device->urbSize < device->minUrbSize) UsbAudioDeviceSetUrbSize(device, device->minUrbSize);
}

void WriteFriendlyName(UsbAudioDevice *device) {
  if (device->productName[0] == 0) return;
  PUNICODE_STRING link = KsFilterFactoryGetSymbolicLink(device->filterFactory);
  HANDLE key = nullptr;
  if (link == nullptr || !NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(link, KEY_ALL_ACCESS, &key))) return;
  ULONG chars = 0;
  while (chars + 1 < QavCountOf(device->productName) && device->productName[chars] != 0) ++chars;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, QAV_VALUE_FRIENDLY_NAME);
  NTSTATUS status = ZwSetValueKey(key, &name, 0, REG_SZ, device->productName, (chars + 1) * sizeof(WCHAR));
  if (!NT_SUCCESS(status)) QAV_LOG(FriendlyNameNotWritten, static_cast<unsigned>(status));
  ZwClose(key);
}

// Once per device: a start after a stop finds the factory there, still
// serving the filters clients may hold open.
NTSTATUS CreateFilterFactory(UsbAudioDevice *device) {
  if (device->filterFactory != nullptr) return STATUS_SUCCESS;
  PKSDEVICE ksDevice = device->device;
  KsAcquireDevice(ksDevice);
  NTSTATUS status = KsCreateFilterFactory(ksDevice->FunctionalDeviceObject, &device->filterDescriptor->filter,
                                          kReferenceString, nullptr, 0, nullptr, nullptr, &device->filterFactory);
  if (NT_SUCCESS(status)) {
    WriteFriendlyName(device);
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, kReferenceString);
    ClientInterfaceEnable(device, &reference);
  }
  KsReleaseDevice(ksDevice);
  return status;
}

// The pins go into the filter descriptor only while no factory was created
// from it: after that only a clock-source change touches it, and then only
// the audio pins' rate limits. The device is the same after a stop, and so
// are its pins.
DynamicFilterDescriptor *DescriptorToFill(UsbAudioDevice *device) {
  if (device->filterFactory != nullptr) return nullptr;
  FilterDescriptorReset(device->filterDescriptor);
  return device->filterDescriptor;
}

NTSTATUS StartAudioFunction(UsbAudioDevice *device) {
  NTSTATUS status = UsbAudioDeviceBuildModel(device, DescriptorToFill(device));
  if (!NT_SUCCESS(status)) return status;
  if (device->audioControl == nullptr) {
    QAV_LOG(NoAudioControl);
    return STATUS_DEVICE_NOT_READY;
  }
  status = SettleSampleRate(device);
  if (NT_SUCCESS(status)) status = PrepareStreams(device);
  if (NT_SUCCESS(status)) status = PairStreams(device);
  if (NT_SUCCESS(status)) MeasureMinimumUrbSize(device);
  // The MIDI pins follow the audio pins.
  if (NT_SUCCESS(status)) {
    UsbAudioDeviceCreateMidiPorts(device, device->filterFactory == nullptr ? device->filterDescriptor : nullptr);
  }
  return status;
}

}  // namespace

// Runs at each start: after a stop (resource rebalance) everything is built
// again from the device, except the filter factory.
NTSTATUS UsbAudioDevicePostStart(PKSDEVICE ksDevice) {
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device == nullptr) return STATUS_INVALID_DEVICE_STATE;
  // What an earlier start left (it failed, or no stop released it), and the
  // lower device a failed configuration forgot.
  UsbAudioDeviceReleaseHardware(device);
  device->config.lowerDevice = ksDevice->NextDeviceObject;
  device->sampleRate = 0;
  NTSTATUS status = UsbSelectConfiguration(&device->config);
  if (NT_SUCCESS(status)) ReadProductName(device);
  if (NT_SUCCESS(status) && !InFirmwareUpdateMode(device)) status = StartAudioFunction(device);
  if (NT_SUCCESS(status)) status = CreateFilterFactory(device);
  QAV_LOG(PostStart, static_cast<unsigned>(status),
            static_cast<unsigned>(device->sampleRate), static_cast<unsigned>(device->urbSize),
            static_cast<unsigned>(device->minUrbSize));
  return status;
}
