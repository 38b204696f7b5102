// The tests' own reading of configuration descriptors, written independently
// of winsim's walker so that both cannot share a mistake. It splits the bytes
// into descriptors (stopping at the first that does not fit), tags each with
// the interface it belongs to, and gives bounded field access.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devices_test {

struct Desc {
  size_t offset = 0;
  std::vector<uint8_t> bytes;
  int itf = -1;  // bInterfaceNumber of the enclosing interface, -1 before any
  int alt = -1;
  uint8_t cls = 0;
  uint8_t subclass = 0;

  uint8_t len() const { return bytes.empty() ? 0 : bytes[0]; }
  uint8_t type() const { return bytes.size() > 1 ? bytes[1] : 0; }
  uint8_t subtype() const { return bytes.size() > 2 ? bytes[2] : 0; }
  uint8_t u8(size_t at) const { return at < bytes.size() ? bytes[at] : 0; }
  uint16_t u16(size_t at) const { return static_cast<uint16_t>(u8(at) | (u8(at + 1) << 8)); }
  uint32_t u32(size_t at) const { return u16(at) | (static_cast<uint32_t>(u16(at + 2)) << 16); }
  bool Is(uint8_t t, uint8_t s) const { return type() == t && subtype() == s; }
  bool InAudio(uint8_t sub) const { return cls == 1 && subclass == sub; }
};

struct Split {
  std::vector<Desc> all;
  size_t bytesCovered = 0;  // sum of bLength of the descriptors that fit
  bool clean = false;       // every descriptor fit and they end exactly at the buffer's end
};

inline Split SplitDescriptors(const std::vector<uint8_t> &config) {
  Split split;
  size_t pos = 0;
  int itf = -1, alt = -1;
  uint8_t cls = 0, subclass = 0;
  while (pos + 2 <= config.size()) {
    const size_t length = config[pos];
    if (length < 2 || pos + length > config.size()) return split;
    Desc d;
    d.offset = pos;
    d.bytes.assign(config.begin() + static_cast<long long>(pos), config.begin() + static_cast<long long>(pos + length));
    if (d.type() == 4 && length >= 9) {
      itf = d.u8(2);
      alt = d.u8(3);
      cls = d.u8(5);
      subclass = d.u8(6);
    }
    d.itf = itf;
    d.alt = alt;
    d.cls = cls;
    d.subclass = subclass;
    split.all.push_back(std::move(d));
    pos += length;
    split.bytesCovered = pos;
  }
  split.clean = pos == config.size();
  return split;
}

inline std::optional<std::string> AsciiOfString(const std::vector<uint8_t> &descriptor) {
  if (descriptor.size() < 2 || descriptor[0] != descriptor.size() || descriptor[1] != 3 || descriptor.size() % 2) {
    return std::nullopt;
  }
  std::string text;
  for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
    if (descriptor[i + 1] != 0 || descriptor[i] >= 0x80) return std::nullopt;
    text.push_back(static_cast<char>(descriptor[i]));
  }
  return text;
}

}  // namespace devices_test
