// A scripted USB device for the stack's tests: it serves a catalog model's
// real descriptors, answers standard requests itself, records everything the
// bus brings it and misbehaves on request (stalls, requests it never
// finishes, SET_INTERFACE refusals).
#pragma once
#include <usb.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "winsim/devices/device_definition.h"
#include "winsim/usb/usb_function.h"

namespace usbtest {

using winsim::usb::BusSpeed;
using winsim::usb::Handshake;
using winsim::usb::SetupPacket;
using winsim::usb::TransferOutcome;
using winsim::usb::VTime;

winsim::devices::DeviceDefinition BuildModel(const char *name);

class FakeDevice : public winsim::usb::UsbFunction {
 public:
  struct IsoPacketSeen {
    uint8_t endpoint;
    uint64_t microframe;
    uint32_t length;
  };

  explicit FakeDevice(winsim::devices::DeviceDefinition definition, BusSpeed speed = BusSpeed::High);

  BusSpeed Speed() const override { return m_speed; }
  std::string Label() const override { return m_definition.model.name; }
  TransferOutcome Control(const SetupPacket &setup, uint8_t *data, VTime now) override;
  TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length) override;
  TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) override;
  TransferOutcome BulkOrInterruptIn(uint8_t endpoint, VTime now, uint8_t *buffer, uint32_t capacity) override;
  TransferOutcome BulkOrInterruptOut(uint8_t endpoint, VTime now, const uint8_t *data, uint32_t length) override;
  void BusReset(VTime) override {}

  // Scripting. A request is named by (bmRequestType, bRequest).
  void Stall(uint8_t requestType, uint8_t request);
  void Hang(uint8_t requestType, uint8_t request);  // never finishes: only a cancel ends it
  void RefuseSetInterface(int times);
  // Bytes an isochronous IN packet carries; default: all the room offered.
  void SetIsoInLength(std::function<uint32_t(uint8_t endpoint, uint64_t microframe, uint32_t capacity)> length);
  void QueueBulkIn(uint8_t endpoint, std::vector<uint8_t> bytes);

  // Records.
  std::vector<SetupPacket> Requests() const;
  std::vector<uint8_t> LastOutData() const;
  std::vector<IsoPacketSeen> IsoPackets() const;
  std::vector<std::vector<uint8_t>> BulkOut(uint8_t endpoint) const;
  uint8_t Configuration() const;
  std::optional<uint8_t> AlternateSetting(uint8_t interfaceNumber) const;
  size_t TransactionCount() const;  // everything that reached the device since plug-in

  const winsim::devices::DeviceDefinition &Definition() const { return m_definition; }

 private:
  std::optional<TransferOutcome> Standard(const SetupPacket &setup, uint8_t *data);

  const winsim::devices::DeviceDefinition m_definition;
  const BusSpeed m_speed;
  mutable std::mutex m_lock;
  std::set<std::pair<uint8_t, uint8_t>> m_stalls, m_hangs;
  int m_refuseSetInterface = 0;
  std::function<uint32_t(uint8_t, uint64_t, uint32_t)> m_isoInLength;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> m_bulkIn;
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> m_bulkOut;
  std::vector<SetupPacket> m_requests;
  std::vector<uint8_t> m_lastOutData;
  std::vector<IsoPacketSeen> m_iso;
  uint8_t m_configuration = 0;
  std::map<uint8_t, uint8_t> m_alternates;
  size_t m_transactions = 0;
};

}  // namespace usbtest
