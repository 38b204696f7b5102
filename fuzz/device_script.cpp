#include "fuzz/device_script.h"

#include <algorithm>

namespace qavfuzz {
namespace {

using winsim::usb::Handshake;
using winsim::usb::SetupPacket;
using winsim::usb::TransferOutcome;

constexpr uint8_t kHandshakes = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kConfigurationType = 2;

// Reads forward through the input; past its end every read yields zeros.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
  bool AtEnd() const { return m_offset >= m_bytes.size(); }
  uint8_t Byte() { return m_offset < m_bytes.size() ? m_bytes[m_offset++] : 0; }
  uint16_t Le16() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  std::vector<uint8_t> Take(size_t count) {
    size_t available = std::min(count, m_bytes.size() - std::min(m_offset, m_bytes.size()));
    std::vector<uint8_t> taken(m_bytes.begin() + m_offset, m_bytes.begin() + m_offset + available);
    m_offset += available;
    return taken;
  }

 private:
  std::span<const uint8_t> m_bytes;
  size_t m_offset = 0;
};

void PutLe16(std::vector<uint8_t> &out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

bool IsIn(const SetupPacket &setup) { return (setup.bmRequestType & winsim::usb::kRequestDirectionIn) != 0; }

// Copies at most wLength bytes of `data` into the request's buffer.
TransferOutcome Answer(const SetupPacket &setup, std::span<const uint8_t> data, uint8_t *buffer) {
  uint32_t length = IsIn(setup) ? static_cast<uint32_t>(std::min<size_t>(data.size(), setup.wLength)) : setup.wLength;
  if (IsIn(setup) && length > 0) std::copy_n(data.begin(), length, buffer);
  return {Handshake::Ack, length, 0};
}

}  // namespace

bool IsConfigurationRequest(const SetupPacket &setup) {
  return setup.bmRequestType == 0x80 && setup.bRequest == kGetDescriptor && setup.wValue == kConfigurationType << 8;
}

DeviceScript DeviceScript::Parse(std::span<const uint8_t> bytes) {
  Reader reader(bytes);
  DeviceScript script;
  script.flags = reader.Byte();
  script.configuration = reader.Take(reader.Le16());
  while (!reader.AtEnd()) {
    ScriptRecord record;
    record.bmRequestType = reader.Byte();
    record.bRequest = reader.Byte();
    record.wValue = reader.Le16();
    record.wIndex = reader.Le16();
    record.handshake = static_cast<Handshake>(reader.Byte() % kHandshakes);
    record.data = reader.Take(reader.Byte());
    script.records.push_back(std::move(record));
  }
  return script;
}

std::vector<uint8_t> DeviceScript::Serialize() const {
  std::vector<uint8_t> out;
  out.push_back(flags);
  size_t length = std::min<size_t>(configuration.size(), UINT16_MAX);
  PutLe16(out, static_cast<uint16_t>(length));
  out.insert(out.end(), configuration.begin(), configuration.begin() + length);
  for (const ScriptRecord &record : records) {
    out.push_back(record.bmRequestType);
    out.push_back(record.bRequest);
    PutLe16(out, record.wValue);
    PutLe16(out, record.wIndex);
    out.push_back(static_cast<uint8_t>(record.handshake));
    size_t data = std::min<size_t>(record.data.size(), UINT8_MAX);
    out.push_back(static_cast<uint8_t>(data));
    out.insert(out.end(), record.data.begin(), record.data.begin() + data);
  }
  return out;
}

ScriptedDevice::ScriptedDevice(const DeviceScript &script) : m_script(script), m_used(script.records.size()) {}

winsim::usb::BusSpeed ScriptedDevice::Speed() const {
  return (m_script.flags & kScriptFullSpeed) ? winsim::usb::BusSpeed::Full : winsim::usb::BusSpeed::High;
}

TransferOutcome ScriptedDevice::Control(const SetupPacket &setup, uint8_t *data, winsim::usb::VTime) {
  const std::vector<ScriptRecord> &records = m_script.records;
  size_t chosen = records.size();
  for (size_t i = 0; i < records.size(); ++i) {
    if (!records[i].Matches(setup)) continue;
    chosen = i;
    if (!m_used[i]) break;
  }
  // Configuration records answer once each; then the section does.
  if (IsConfigurationRequest(setup) && (chosen == records.size() || m_used[chosen])) {
    return Answer(setup, m_script.configuration, data);
  }
  if (chosen == records.size()) return IsIn(setup) ? Stalled() : TransferOutcome{Handshake::Ack, setup.wLength, 0};
  m_used[chosen] = true;
  const ScriptRecord &record = records[chosen];
  if (record.handshake != Handshake::Ack) return {record.handshake, 0, 0};
  return Answer(setup, record.data, data);
}

RecordingDevice::RecordingDevice(winsim::usb::UsbFunction &device, DeviceScript &script)
    : m_device(device), m_script(script) {
  if (device.Speed() == winsim::usb::BusSpeed::Full) m_script.flags |= kScriptFullSpeed;
}

TransferOutcome RecordingDevice::Control(const SetupPacket &setup, uint8_t *data, winsim::usb::VTime now) {
  TransferOutcome outcome = m_device.Control(setup, data, now);
  if (IsConfigurationRequest(setup)) {
    // The whole descriptor, whichever read this was.
    if (outcome.handshake == Handshake::Ack && outcome.length > m_script.configuration.size()) {
      m_script.configuration.assign(data, data + outcome.length);
    }
    return outcome;
  }
  ScriptRecord record;
  record.bmRequestType = setup.bmRequestType;
  record.bRequest = setup.bRequest;
  record.wValue = setup.wValue;
  record.wIndex = setup.wIndex;
  record.handshake = outcome.handshake;
  if (IsIn(setup) && outcome.handshake == Handshake::Ack) {
    record.data.assign(data, data + std::min<uint32_t>(outcome.length, UINT8_MAX));
  }
  m_script.records.push_back(std::move(record));
  return outcome;
}

}  // namespace qavfuzz
