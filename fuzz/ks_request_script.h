// The input of the KS request fuzzer: a catalog model, a number of filter
// handles, then a sequence of operations a user-mode client can perform on
// the driver's filter. Every field is read little-endian; an input that ends
// early reads zeros. The seed writer and the fuzzer share this format.
//
//   u8 model, u8 handles (1 + n % 3), then operations until the input ends
//   (at most kMaxOperations):
//     Property / Method: u8 handle, u8 set, u16 id, u32 flags, u8 tail length,
//                        tail bytes (after the 24-byte identifier), u16 value
//                        length, u8 value mode (bit 0: + 64 KiB), u8 fill
//                        length, fill bytes (the value's first bytes)
//     EnableEvent:       u8 handle, u8 set, u16 id, u32 flags, u8 data length,
//                        u8 notification (see NotificationFor)
//     DisableEvents:     u8 handle, u8 which (0: every event of the handle,
//                        else the n-th enabled event's data)
//     Reopen:            u8 handle
//     RunTime:           u8 milliseconds
//     SurpriseRemove:    nothing
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "uac2common/uac2private.h"

namespace ksfuzz {

enum class Op : uint8_t { Property, Method, EnableEvent, DisableEvents, Reopen, RunTime, SurpriseRemove, Count };

inline constexpr size_t kMaxOperations = 64;
inline constexpr size_t kMaxHandles = 3;
inline constexpr uint8_t kSetPrivateProperties = 0;
inline constexpr uint8_t kSetUsbMethods = 1;
inline constexpr uint8_t kSetPrivateEvents = 2;
inline constexpr uint8_t kSetPrivateEvents2 = 3;
inline constexpr uint8_t kNotificationEventHandle = 0;

// The sets a request can address: the driver's own, the standard ones ks.sys
// answers on a filter, and one that nobody serves.
inline const GUID &SetFor(uint8_t choice) {
  static const GUID kUnknown = {0x6d1c5e2b, 0x3a4f, 0x4c2d, {0x9e, 0x11, 0x27, 0x5b, 0x80, 0x3c, 0x4a, 0x61}};
  static const GUID kSets[] = {KSPROPSETID_UacPrivate, KSMETHODSETID_UacUsb, KSEVENTSETID_UacPrivate,
                               KSEVENTSETID_UacPrivate2, KSPROPSETID_Pin,   KSPROPSETID_Topology,
                               KSPROPSETID_General,     KSPROPSETID_Connection, kUnknown};
  return kSets[choice % (sizeof(kSets) / sizeof(kSets[0]))];
}

// Reads the input; past its end every field is zero.
class CReader {
 public:
  CReader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
  bool AtEnd() const { return m_at >= m_size; }
  uint8_t U8() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t &b : bytes) b = U8();
    return bytes;
  }

 private:
  const uint8_t *m_data;
  size_t m_size;
  size_t m_at = 0;
};

// Writes inputs for the seeds.
class CWriter {
 public:
  CWriter(uint8_t model, uint8_t handles) { m_bytes = {model, handles}; }
  const std::vector<uint8_t> &Bytes() const { return m_bytes; }

  void Request(Op op, uint8_t handle, uint8_t set, uint16_t id, uint32_t flags, const std::vector<uint8_t> &tail,
               uint32_t valueLength, const std::vector<uint8_t> &fill = {}) {
    U8(static_cast<uint8_t>(op));
    U8(handle);
    U8(set);
    U16(id);
    U32(flags);
    U8(static_cast<uint8_t>(tail.size()));
    Append(tail);
    U16(static_cast<uint16_t>(valueLength));
    U8(valueLength > 0xFFFF ? 1 : 0);
    U8(static_cast<uint8_t>(fill.size()));
    Append(fill);
  }
  void EnableEvent(uint8_t handle, uint8_t set, uint16_t id, uint8_t dataLength = sizeof(KSEVENTDATA)) {
    U8(static_cast<uint8_t>(Op::EnableEvent));
    U8(handle);
    U8(set);
    U16(id);
    U32(KSEVENT_TYPE_ENABLE);
    U8(dataLength);
    U8(kNotificationEventHandle);
  }
  void Simple(Op op, std::initializer_list<uint8_t> fields = {}) {
    U8(static_cast<uint8_t>(op));
    for (uint8_t f : fields) U8(f);
  }

 private:
  void U8(uint8_t v) { m_bytes.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Append(const std::vector<uint8_t> &bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
  std::vector<uint8_t> m_bytes;
};

}  // namespace ksfuzz
