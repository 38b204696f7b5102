// The interfaces, alternate settings and endpoints a device's configuration
// descriptor declares, as the device runtime needs them: which endpoints
// exist in which alternate setting, how much a packet may carry, how often
// it is serviced, and the audio format of each streaming setting. Read from
// the very bytes the device enumerates with, so a device made from captured
// descriptors behaves as its descriptors say.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint32_t maxPacketBytes = 0;      // per service interval
  uint32_t intervalMicroframes = 0; // service interval; 0 for bulk

  bool In() const { return (address & usb_const::kEndpointIn) != 0; }
  uint8_t Transfer() const { return attributes & usb_const::kXferMask; }
  bool IsoData() const;
  bool IsoFeedback() const;
};

struct AltSetting {
  uint8_t alternate = 0;
  std::vector<EndpointInfo> endpoints;
  // AudioStreaming settings: the cluster and Type I format; 0 when absent.
  uint8_t channels = 0;
  uint8_t subslot = 0;
  uint8_t bitResolution = 0;

  const EndpointInfo *Endpoint(uint8_t address) const;
  // The isochronous data endpoint (not a feedback endpoint), or null.
  const EndpointInfo *DataEndpoint() const;
  const EndpointInfo *FeedbackEndpoint() const;
};

struct InterfaceInfo {
  uint8_t number = 0;
  uint8_t cls = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
  std::vector<AltSetting> alternates;  // in descriptor order

  const AltSetting *Alternate(uint8_t alternate) const;
  bool AudioControl() const;
  bool AudioStreaming() const;
};

struct InterfaceLayout {
  uint8_t configurationValue = 0;
  std::vector<InterfaceInfo> interfaces;

  const InterfaceInfo *Find(uint8_t number) const;
  // The AudioControl interface of the USB Audio Class 2.0 function (the
  // first AudioControl interface when none declares that protocol), or null
  // (firmware-update mode). A class 1 function beside it (a MIDI interface's
  // header-only AudioControl) has no entities to address.
  const InterfaceInfo *AudioControl() const;
};

// Empty when the bytes do not walk cleanly.
InterfaceLayout ReadInterfaceLayout(std::span<const uint8_t> configuration, UsbSpeed speed);

}  // namespace winsim::devices
