// A device script: everything a USB device says on its default pipe, as one
// byte string. It is the input of device_model_fuzzer and what
// device_model_seeds records from the catalog models.
//
// Layout (multi-byte fields little-endian):
//   byte 0        flags (kScript...)
//   bytes 1-2     n, then n bytes: the configuration descriptor the device
//                 sends for GET_DESCRIPTOR(configuration), however long the
//                 request (the header-only read and the whole read alike)
//   then records, to the end: the answers to every other request
//     bytes 0-5   the request: bmRequestType, bRequest, wValue, wIndex
//     byte 6      how it ends: Handshake value modulo 5 (Ack, Nak, Stall,
//                 NoReply, Error); Nak keeps the request pending until the
//                 driver cancels it
//     byte 7      m, then m bytes of data: what an IN request returns (at
//                 most wLength of it); ignored for OUT
// A request takes the first unused record with its six bytes, or the last
// matching record once all are used. A request without any record is
// stalled when it is IN and accepted when it is OUT (a device takes
// SET_CONFIGURATION, SET_INTERFACE and SET CUR it has no record for).
// GET_DESCRIPTOR(configuration) records answer once each, before the
// configuration section: a device whose descriptor changes between the
// driver's header read and its whole read.
// Truncated input is read as far as it goes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "winsim/usb/usb_function.h"

namespace qavfuzz {

inline constexpr uint8_t kScriptFullSpeed = 0x01;          // the device runs at full speed
inline constexpr uint8_t kScriptCompleteInline = 0x02;     // requests complete without STATUS_PENDING
inline constexpr uint8_t kScriptNoBusInterfaceV0 = 0x04;   // the stack does not grant version 0 of the bus
inline constexpr uint8_t kScriptNoBusInterfaceV1 = 0x08;   // interface, version 1, version 2
inline constexpr uint8_t kScriptNoBusInterfaceV2 = 0x10;

struct ScriptRecord {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  winsim::usb::Handshake handshake = winsim::usb::Handshake::Ack;
  std::vector<uint8_t> data;  // at most 255 bytes

  bool Matches(const winsim::usb::SetupPacket &setup) const {
    return setup.bmRequestType == bmRequestType && setup.bRequest == bRequest && setup.wValue == wValue &&
           setup.wIndex == wIndex;
  }
};

struct DeviceScript {
  uint8_t flags = 0;
  std::vector<uint8_t> configuration;
  std::vector<ScriptRecord> records;

  static DeviceScript Parse(std::span<const uint8_t> bytes);
  std::vector<uint8_t> Serialize() const;
};

// The device a script describes, for FakeUsbStack. Not thread safe: the
// stack calls it from the one thread that runs the driver.
class ScriptedDevice final : public winsim::usb::UsbFunction {
 public:
  explicit ScriptedDevice(const DeviceScript &script);

  winsim::usb::BusSpeed Speed() const override;
  std::string Label() const override { return "scripted"; }
  winsim::usb::TransferOutcome Control(const winsim::usb::SetupPacket &setup, uint8_t *data,
                                       winsim::usb::VTime now) override;
  winsim::usb::TransferOutcome IsoOut(uint8_t, uint64_t, const uint8_t *, uint32_t) override { return Stalled(); }
  winsim::usb::TransferOutcome IsoIn(uint8_t, uint64_t, uint8_t *, uint32_t) override { return Stalled(); }
  // Nothing to report on interrupt or bulk IN; bulk OUT data is taken.
  winsim::usb::TransferOutcome BulkOrInterruptIn(uint8_t, winsim::usb::VTime, uint8_t *, uint32_t) override {
    return {winsim::usb::Handshake::Nak, 0, 0};
  }
  winsim::usb::TransferOutcome BulkOrInterruptOut(uint8_t, winsim::usb::VTime, const uint8_t *,
                                                  uint32_t length) override {
    return {winsim::usb::Handshake::Ack, length, 0};
  }
  void BusReset(winsim::usb::VTime) override {}

 private:
  static winsim::usb::TransferOutcome Stalled() { return {winsim::usb::Handshake::Stall, 0, 0}; }

  const DeviceScript &m_script;
  std::vector<bool> m_used;
};

// Passes every request to `device` and writes what it answered into a
// script: the configuration descriptor into its own section, everything else
// as records in the order asked.
class RecordingDevice final : public winsim::usb::UsbFunction {
 public:
  RecordingDevice(winsim::usb::UsbFunction &device, DeviceScript &script);

  winsim::usb::BusSpeed Speed() const override { return m_device.Speed(); }
  std::string Label() const override { return m_device.Label(); }
  winsim::usb::TransferOutcome Control(const winsim::usb::SetupPacket &setup, uint8_t *data,
                                       winsim::usb::VTime now) override;
  winsim::usb::TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data,
                                      uint32_t length) override {
    return m_device.IsoOut(endpoint, microframe, data, length);
  }
  winsim::usb::TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer,
                                     uint32_t capacity) override {
    return m_device.IsoIn(endpoint, microframe, buffer, capacity);
  }
  winsim::usb::TransferOutcome BulkOrInterruptIn(uint8_t endpoint, winsim::usb::VTime now, uint8_t *buffer,
                                                 uint32_t capacity) override {
    return m_device.BulkOrInterruptIn(endpoint, now, buffer, capacity);
  }
  winsim::usb::TransferOutcome BulkOrInterruptOut(uint8_t endpoint, winsim::usb::VTime now, const uint8_t *data,
                                                  uint32_t length) override {
    return m_device.BulkOrInterruptOut(endpoint, now, data, length);
  }
  void BusReset(winsim::usb::VTime now) override { m_device.BusReset(now); }

 private:
  winsim::usb::UsbFunction &m_device;
  DeviceScript &m_script;
};

// GET_DESCRIPTOR(configuration, index 0) as a standard device request.
bool IsConfigurationRequest(const winsim::usb::SetupPacket &setup);

}  // namespace qavfuzz
