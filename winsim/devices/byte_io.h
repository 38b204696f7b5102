// Little-endian byte building and bounded reading for descriptor bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace winsim::devices {

class ByteWriter {
 public:
  void U8(uint8_t value) { m_bytes.push_back(value); }
  void U16(uint16_t value) {
    U8(static_cast<uint8_t>(value));
    U8(static_cast<uint8_t>(value >> 8));
  }
  void U32(uint32_t value) {
    U16(static_cast<uint16_t>(value));
    U16(static_cast<uint16_t>(value >> 16));
  }
  void Append(std::span<const uint8_t> bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }

  // Overwrites two bytes already written; offsets past the end are ignored.
  void PatchU16(size_t offset, uint16_t value) {
    if (offset + 2 > m_bytes.size()) return;
    m_bytes[offset] = static_cast<uint8_t>(value);
    m_bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  }

  size_t Size() const { return m_bytes.size(); }
  const std::vector<uint8_t> &Bytes() const { return m_bytes; }
  std::vector<uint8_t> Take() { return std::move(m_bytes); }

 private:
  std::vector<uint8_t> m_bytes;
};

// Reads return 0 for bytes outside `bytes`; callers check lengths first and
// use these only to keep a missed check from turning into an overread.
inline uint8_t ReadU8(std::span<const uint8_t> bytes, size_t offset) {
  return offset < bytes.size() ? bytes[offset] : 0;
}

inline uint16_t ReadU16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(ReadU8(bytes, offset) | (ReadU8(bytes, offset + 1) << 8));
}

inline uint32_t ReadU32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(ReadU16(bytes, offset)) | (static_cast<uint32_t>(ReadU16(bytes, offset + 2)) << 16);
}

inline void WriteU16(std::vector<uint8_t> &bytes, size_t offset, uint16_t value) {
  if (offset + 2 > bytes.size()) return;
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace winsim::devices
