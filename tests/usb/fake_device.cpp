#include "fake_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace usbtest {

using winsim::devices::DeviceDefinition;

DeviceDefinition BuildModel(const char *name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  EXPECT_NE(model, nullptr) << name;
  winsim::devices::BuildResult built = winsim::devices::BuildDevice(*model);
  EXPECT_TRUE(built.Ok()) << built.detail;
  return built.definition;
}

FakeDevice::FakeDevice(DeviceDefinition definition, BusSpeed speed)
    : m_definition(std::move(definition)), m_speed(speed) {}

std::optional<TransferOutcome> FakeDevice::Standard(const SetupPacket &setup, uint8_t *data) {
  const auto &descriptors = m_definition.descriptors;
  if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
    const std::vector<uint8_t> *answer = nullptr;
    uint8_t type = setup.wValue >> 8, index = setup.wValue & 0xFF;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) answer = &descriptors.device;
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) answer = &descriptors.configuration;
    if (type == USB_STRING_DESCRIPTOR_TYPE) answer = descriptors.String(index);
    if (answer == nullptr) return TransferOutcome{Handshake::Stall, 0, 0};
    uint32_t length = std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(answer->size()));
    std::memcpy(data, answer->data(), length);
    return TransferOutcome{Handshake::Ack, length, 0};
  }
  if (setup.bmRequestType == 0x00 && setup.bRequest == USB_REQUEST_SET_CONFIGURATION) {
    m_configuration = static_cast<uint8_t>(setup.wValue);
    m_alternates.clear();
    return TransferOutcome{};
  }
  if (setup.bmRequestType == 0x01 && setup.bRequest == USB_REQUEST_SET_INTERFACE) {
    if (m_refuseSetInterface > 0) {
      --m_refuseSetInterface;
      return TransferOutcome{Handshake::Stall, 0, 0};
    }
    m_alternates[static_cast<uint8_t>(setup.wIndex)] = static_cast<uint8_t>(setup.wValue);
    return TransferOutcome{};
  }
  return std::nullopt;
}

TransferOutcome FakeDevice::Control(const SetupPacket &setup, uint8_t *data, VTime) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_transactions;
  m_requests.push_back(setup);
  std::pair<uint8_t, uint8_t> name{setup.bmRequestType, setup.bRequest};
  if (m_hangs.count(name)) return TransferOutcome{Handshake::Nak, 0, 0};
  if (m_stalls.count(name)) return TransferOutcome{Handshake::Stall, 0, 0};
  if (std::optional<TransferOutcome> standard = Standard(setup, data)) return *standard;
  if (setup.bmRequestType & winsim::usb::kRequestDirectionIn) {
    for (uint32_t i = 0; i < setup.wLength; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  } else {
    m_lastOutData.assign(data, data + setup.wLength);
  }
  return TransferOutcome{Handshake::Ack, setup.wLength, 0};
}

TransferOutcome FakeDevice::IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *, uint32_t length) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_transactions;
  m_iso.push_back({endpoint, microframe, length});
  return TransferOutcome{Handshake::Ack, length, 0};
}

TransferOutcome FakeDevice::IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_transactions;
  uint32_t length = m_isoInLength ? std::min(capacity, m_isoInLength(endpoint, microframe, capacity)) : capacity;
  for (uint32_t i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(microframe + i);
  m_iso.push_back({endpoint, microframe, length});
  return TransferOutcome{Handshake::Ack, length, 0};
}

TransferOutcome FakeDevice::BulkOrInterruptIn(uint8_t endpoint, VTime, uint8_t *buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto &queue = m_bulkIn[endpoint];
  if (queue.empty()) return TransferOutcome{Handshake::Nak, 0, 0};
  ++m_transactions;
  std::vector<uint8_t> bytes = std::move(queue.front());
  queue.pop_front();
  uint32_t length = std::min<uint32_t>(capacity, static_cast<uint32_t>(bytes.size()));
  std::memcpy(buffer, bytes.data(), length);
  return TransferOutcome{Handshake::Ack, length, 0};
}

TransferOutcome FakeDevice::BulkOrInterruptOut(uint8_t endpoint, VTime, const uint8_t *data, uint32_t length) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_transactions;
  m_bulkOut[endpoint].emplace_back(data, data + length);
  return TransferOutcome{Handshake::Ack, length, 0};
}

void FakeDevice::Stall(uint8_t requestType, uint8_t request) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_stalls.insert({requestType, request});
}

void FakeDevice::Hang(uint8_t requestType, uint8_t request) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_hangs.insert({requestType, request});
}

void FakeDevice::RefuseSetInterface(int times) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_refuseSetInterface = times;
}

void FakeDevice::SetIsoInLength(std::function<uint32_t(uint8_t, uint64_t, uint32_t)> length) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_isoInLength = std::move(length);
}

void FakeDevice::QueueBulkIn(uint8_t endpoint, std::vector<uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bulkIn[endpoint].push_back(std::move(bytes));
  }
  NotifyDataReady(endpoint);
}

std::vector<SetupPacket> FakeDevice::Requests() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

std::vector<uint8_t> FakeDevice::LastOutData() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lastOutData;
}

std::vector<FakeDevice::IsoPacketSeen> FakeDevice::IsoPackets() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_iso;
}

std::vector<std::vector<uint8_t>> FakeDevice::BulkOut(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_bulkOut.find(endpoint);
  return it == m_bulkOut.end() ? std::vector<std::vector<uint8_t>>{} : it->second;
}

uint8_t FakeDevice::Configuration() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_configuration;
}

std::optional<uint8_t> FakeDevice::AlternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_alternates.find(interfaceNumber);
  return it == m_alternates.end() ? std::nullopt : std::optional<uint8_t>(it->second);
}

size_t FakeDevice::TransactionCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_transactions;
}

}  // namespace usbtest
