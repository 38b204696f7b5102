// Building the device model at post start: the vendor check, then one
// AudioControl object and at most one stream per direction from the
// configuration's interfaces, with the filter descriptor following them.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_configure.h"

namespace {

// The maker's own vendor id and that of the supplier of its USB audio controller.
const USHORT kAcceptedVendors[] = {0x2B5A, 0x1A2C};

bool VendorAccepted(USHORT vendor) {
  for (USHORT accepted : kAcceptedVendors) {
    if (vendor == accepted) return true;
  }
  return false;
}

// bInterfaceProtocol of the interfaces of a USB Audio Class 2.0 function
// (IP_VERSION_02_00). Class 1.0 interfaces carry 0.
constexpr UCHAR kProtocolAudioClass2 = 0x20;

bool IsAudioInterface(const UsbInterface *usbInterface, UCHAR subClass) {
  return usbInterface != nullptr && UsbInterfaceClass(usbInterface) == kClassAudio &&
         UsbInterfaceSubClass(usbInterface) == subClass;
}

UCHAR InterfaceProtocol(const UsbInterface *usbInterface) {
  return usbInterface->info != nullptr ? usbInterface->info->Protocol : 0;
}

// Class 1.0 interfaces beside the function (a complete class 1.0 function,
// or a header-only AudioControl interface holding a MIDI interface) have
// descriptors of other layouts: they are passed over.
bool IsClassTwo(const UsbInterface *usbInterface) {
  UCHAR protocol = InterfaceProtocol(usbInterface);
  if (protocol == kProtocolAudioClass2) return true;
  QAV_LOG(InterfaceNotAudio20, static_cast<unsigned>(usbInterface->interfaceNumber),
            static_cast<unsigned>(UsbInterfaceSubClass(usbInterface)),
            static_cast<unsigned>(protocol));
  return false;
}

bool IsClassTwoStreaming(const UsbInterface *usbInterface) {
  return IsAudioInterface(usbInterface, kSubclassAudioStreaming) &&
         InterfaceProtocol(usbInterface) == kProtocolAudioClass2;
}

// The function's AudioControl interface is the class 2.0 one that a class
// 2.0 AudioStreaming interface follows directly.
void AddAudioControl(UsbAudioDevice *device, ULONG index, DynamicFilterDescriptor *pins) {
  if (!IsClassTwo(UsbConfigInterface(&device->config, index))) return;
  if (device->audioControl != nullptr) return;
  if (!IsClassTwoStreaming(UsbConfigInterface(&device->config, index + 1))) {
    QAV_LOG(NoStreamingInterface, static_cast<unsigned>(index));
    return;
  }
  device->audioControl = AudioControlCreate(device, UsbConfigInterface(&device->config, index));
  if (device->audioControl == nullptr || pins == nullptr) return;
  FilterDescriptorSetRateLimits(pins, AudioControlLowestRate(device->audioControl),
                                AudioControlHighestRate(device->audioControl));
}

bool StreamUsable(UsbAudioDevice *device, UsbAudioStream *stream) {
  return UsbIsHighSpeed(&device->config) && NT_SUCCESS(UsbAudioStreamSelectFormat(stream, 0)) &&
         stream->dataEndpoint != 0 && stream->channels != 0 && stream->subslot != 0;
}

// A later stream of the same direction replaces an earlier one.
void AddStream(UsbAudioDevice *device, ULONG index, DynamicFilterDescriptor *pins) {
  if (!IsClassTwo(UsbConfigInterface(&device->config, index))) return;
  UsbAudioStream *stream = UsbAudioStreamCreate(device, UsbConfigInterface(&device->config, index), device->urbSize);
  if (stream == nullptr) return;
  if (!StreamUsable(device, stream)) {
    UsbAudioStreamDestroy(stream);
    return;
  }
  bool capture = UsbAudioStreamIsCapture(stream);
  QAV_LOG(StreamFound, static_cast<unsigned>(capture), static_cast<unsigned>(index),
          static_cast<unsigned>(stream->altSetting), static_cast<unsigned>(stream->channels),
          static_cast<unsigned>(stream->subslot), static_cast<unsigned>(stream->dataEndpoint),
          static_cast<unsigned>(stream->feedbackEndpoint));
  UsbAudioStream *&slot = capture ? device->captureStream : device->renderStream;
  // The direction's pins exist once: a replacing stream only changes their channels.
  const bool directionHasPins = slot != nullptr;
  UsbAudioStreamDestroy(slot);
  slot = stream;
  if (pins == nullptr) return;
  AudioDirection direction = capture ? AudioDirection::Capture : AudioDirection::Render;
  if (!directionHasPins) FilterDescriptorAddAudioDirection(pins, direction);
  FilterDescriptorSetChannels(pins, direction, stream->channels);
}

}  // namespace

NTSTATUS UsbAudioDeviceBuildModel(UsbAudioDevice *device, DynamicFilterDescriptor *pins) {
  USHORT vendor = device->config.deviceDescriptor.idVendor;
  if (!VendorAccepted(vendor)) {
    QAV_LOG(VendorNotServed, static_cast<unsigned>(vendor));
    return STATUS_NOT_SUPPORTED;
  }
  for (ULONG i = 0; i < UsbConfigInterfaceCount(&device->config); ++i) {
    const UsbInterface *usbInterface = UsbConfigInterface(&device->config, i);
    if (IsAudioInterface(usbInterface, kSubclassAudioControl)) {
      AddAudioControl(device, i, pins);
    } else if (IsAudioInterface(usbInterface, kSubclassAudioStreaming)) {
      AddStream(device, i, pins);
    }
    // MIDI streaming interfaces are served by the MIDI ports; other interfaces are not used.
  }
  return STATUS_SUCCESS;
}
