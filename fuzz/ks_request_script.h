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
//     CreatePin:         u8 pin slot, u8 filter handle, u32 pin id, u8 damage
//                        (see PinDamage), u16 channels, u32 rate, u16 bits,
//                        u16 valid bits, u8 tag (see TagFor), u8 specifier
//                        (see SpecifierFor), u8 FormatSize adjustment (signed)
//     PinState:          u8 pin slot, u8 state (raw: 4 and up are not states)
//     Stream:            u8 pin slot, u8 stream flags (see StreamFlags), u32
//                        FrameExtent, u32 DataUsed, u8 header Size adjustment
//                        (signed), u8 header count (1 + n % 3), u32 OptionsFlags
// A Property or Method whose handle byte has bit 7 set goes to the pin in
// slot (handle % kMaxPins) when one is open there.
#pragma once
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "uac2common/uac2private.h"

namespace ksfuzz {

enum class Op : uint8_t {
  Property,
  Method,
  EnableEvent,
  DisableEvents,
  Reopen,
  RunTime,
  SurpriseRemove,
  CreatePin,
  PinState,
  Stream,
  Count
};

inline constexpr size_t kMaxOperations = 64;
inline constexpr size_t kMaxHandles = 3;
inline constexpr uint8_t kSetPrivateProperties = 0;
inline constexpr uint8_t kSetUsbMethods = 1;
inline constexpr uint8_t kSetPrivateEvents = 2;
inline constexpr uint8_t kSetPrivateEvents2 = 3;
inline constexpr uint8_t kNotificationEventHandle = 0;
inline constexpr size_t kMaxPins = 4;
inline constexpr uint8_t kToPin = 0x80;
// Frames in flight on all pins together; the data a frame points at is at
// most 64 KiB.
inline constexpr size_t kMaxFramesInFlight = 48;
inline constexpr uint32_t kMaxFrameBytes = 0x10000;

// What a pin creation's KSPIN_CONNECT and KSDATAFORMAT get wrong.
enum PinDamage : uint8_t {
  kDamageInterface = 1,      // not the standard streaming interface
  kDamageMedium = 2,         // not the standard medium
  kDamageMajorFormat = 4,    // not KSDATAFORMAT_TYPE_AUDIO
  kDamageSubFormat = 8,      // not PCM
  kDamageShortFormatSize = 16,  // FormatSize below a KSDATAFORMAT's
  kDamageHugeFormatSize = 32,  // more than any create name carries
  kDamageExtraBytes = 64,    // 64 bytes past the wave format
};

// wFormatTag: PCM, extensible, the two compressed tags the pin copies, an unknown one.
inline uint16_t TagFor(uint8_t choice) {
  static const uint16_t kTags[] = {0x0001, 0xFFFE, 0x0092, 0x0164, 0x0003};
  return kTags[choice % (sizeof(kTags) / sizeof(kTags[0]))];
}

// The stream request's shape.
enum StreamFlags : uint8_t {
  kStreamWrite = 1,       // WRITE_STREAM, else READ_STREAM
  kStreamNoData = 2,      // Data is null
  kStreamShortBuffer = 4,  // the output buffer is 8 bytes shorter than the headers
};

// The sets a request can address: the driver's own, the standard ones ks.sys
// answers on a filter, and one that nobody serves.
inline const GUID &SetFor(uint8_t choice) {
  static const GUID kUnknown = {0x6d1c5e2b, 0x3a4f, 0x4c2d, {0x9e, 0x11, 0x27, 0x5b, 0x80, 0x3c, 0x4a, 0x61}};
  static const GUID kSets[] = {KSPROPSETID_UacPrivate, KSMETHODSETID_UacUsb, KSEVENTSETID_UacPrivate,
                               KSEVENTSETID_UacPrivate2, KSPROPSETID_Pin,   KSPROPSETID_Topology,
                               KSPROPSETID_General,     KSPROPSETID_Connection, kUnknown};
  return kSets[choice % (sizeof(kSets) / sizeof(kSets[0]))];
}

// The format specifier: WAVEFORMATEX, DSOUND, none.
inline const GUID &SpecifierFor(uint8_t choice) {
  static const GUID kSpecifiers[] = {KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, KSDATAFORMAT_SPECIFIER_DSOUND,
                                     KSDATAFORMAT_SPECIFIER_NONE};
  return kSpecifiers[choice % (sizeof(kSpecifiers) / sizeof(kSpecifiers[0]))];
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
  void CreatePin(uint8_t slot, uint32_t pinId, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t validBits,
                 uint8_t tag, uint8_t damage = 0, uint8_t specifier = 0, int8_t sizeAdjust = 0) {
    U8(static_cast<uint8_t>(Op::CreatePin));
    U8(slot);
    U8(0);
    U32(pinId);
    U8(damage);
    U16(channels);
    U32(rate);
    U16(bits);
    U16(validBits);
    U8(tag);
    U8(specifier);
    U8(static_cast<uint8_t>(sizeAdjust));
  }
  void PinState(uint8_t slot, uint8_t state) {
    U8(static_cast<uint8_t>(Op::PinState));
    U8(slot);
    U8(state);
  }
  void Stream(uint8_t slot, uint8_t flags, uint32_t extent, uint32_t used, int8_t sizeAdjust = 0, uint8_t count = 0,
              uint32_t options = 0) {
    U8(static_cast<uint8_t>(Op::Stream));
    U8(slot);
    U8(flags);
    U32(extent);
    U32(used);
    U8(static_cast<uint8_t>(sizeAdjust));
    U8(count);
    U32(options);
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
