// Hand-written configuration descriptors for the driver's unit tests: each
// call appends one descriptor; Bytes() fills in wTotalLength and
// bNumInterfaces (the number of distinct interface numbers).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <set>
#include <vector>

namespace kdtest {

class ConfigBuilder {
 public:
  ConfigBuilder() { m_bytes = {9, 0x02, 0, 0, 0, 1, 0, 0x80, 50}; }

  ConfigBuilder &Raw(std::initializer_list<uint8_t> bytes) {
    m_bytes.insert(m_bytes.end(), bytes);
    return *this;
  }
  ConfigBuilder &Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t subclass) {
    m_numbers.insert(number);
    return Raw({9, 0x04, number, alternate, endpoints, cls, subclass, 0x20, 0});
  }
  ConfigBuilder &Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket = 64, uint8_t interval = 1) {
    return Raw({7, 0x05, address, attributes, static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8),
                interval});
  }
  // AudioStreaming general: bNrChannels at 10, iChannelNames at 15.
  ConfigBuilder &AsGeneral(uint8_t channels, uint8_t channelNames = 0) {
    return Raw({16, 0x24, 0x01, 0, 0, 1, 0, 0, 0, 0, channels, 0, 0, 0, 0, channelNames});
  }
  ConfigBuilder &FormatType(uint8_t subslot, uint8_t bits) { return Raw({6, 0x24, 0x02, 0x01, subslot, bits}); }
  // A 10-byte format-type descriptor whose u32 at offset 6 limits the rate.
  ConfigBuilder &FormatTypeWithMaxRate(uint8_t subslot, uint8_t bits, uint32_t maxRate) {
    return Raw({10, 0x24, 0x02, 0x01, subslot, bits, static_cast<uint8_t>(maxRate), static_cast<uint8_t>(maxRate >> 8),
                static_cast<uint8_t>(maxRate >> 16), static_cast<uint8_t>(maxRate >> 24)});
  }
  ConfigBuilder &ClockSource(uint8_t id, uint8_t attributes, uint8_t nameIndex = 0) {
    return Raw({8, 0x24, 0x0A, id, attributes, 0x07, 0, nameIndex});
  }
  ConfigBuilder &ClockSelector(uint8_t id, std::initializer_list<uint8_t> inputs) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(7 + inputs.size()), 0x24, 0x0B, id,
                              static_cast<uint8_t>(inputs.size())};
    d.insert(d.end(), inputs);
    d.insert(d.end(), {0x03, 0});
    m_bytes.insert(m_bytes.end(), d.begin(), d.end());
    return *this;
  }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = m_bytes;
    out[2] = static_cast<uint8_t>(out.size());
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    out[4] = static_cast<uint8_t>(m_numbers.size());
    return out;
  }

 private:
  std::vector<uint8_t> m_bytes;
  std::set<uint8_t> m_numbers;
};

}  // namespace kdtest
