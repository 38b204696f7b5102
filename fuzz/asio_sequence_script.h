// The input of the IASIO call-sequence fuzzer: which devices are plugged, how
// the stand-in host answers, then a sequence of IASIO calls on the driver
// object and machine events between them. Every field is read little-endian;
// an input that ends early reads zeros. The seed writer and the fuzzer share
// this format.
//
//   u8 devices (0: none, 1 or 3: one, 2: two; n % 4), u8 first model,
//   u8 second model (catalog indexes, modulo its size), u8 host flags (see
//   HostFlags), then operations until the input ends (at most kMaxOperations):
//     Init, GetChannels, GetLatencies, GetBufferSize, GetSampleRate,
//     GetSamplePosition, DisposeBuffers, Start, Stop, OutputReady,
//     DriverInfo, Recreate:   nothing
//     CanSampleRate, SetSampleRate: a rate (see Rate)
//     GetClockSources:        u32 count (signed)
//     SetClockSource:         u32 index (signed)
//     GetChannelInfo:         u32 channel (signed), u32 isInput
//     CreateBuffers:          u8 records, u32 numChannels adjustment (signed,
//                             added to the records), u8 buffer size choice
//                             (see BufferSizeFor; 0xFF: u16 raw follows),
//                             u8 callbacks (0: none, else the host's), then
//                             per record u8 isInput, u8 channel (0xFF: u32
//                             raw follows)
//     ControlPanel:           u8 answer (bit 0: OK, bit 1: an external
//                             program takes over), u32 mode, u32 buffer size,
//                             u32 rate (the dialog's choice)
//     Future:                 u32 selector, u8 scratch (0: null pointer)
//     RunTime:                u8 milliseconds
//     SurpriseRemove:         u8 device
//     SetUrbSize:             u8 device, u32 value (see UrbSizeFor)
//     SetDeviceRate:          u8 device, u32 value (see DeviceRateFor)
// A rate is u8 choice (see RateFor; 0xFF: the next 8 bytes are the double's
// bits, any NaN or infinity among them).
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace asiofuzz {

enum class Op : uint8_t {
  Init,
  GetChannels,
  GetLatencies,
  GetBufferSize,
  CanSampleRate,
  GetSampleRate,
  SetSampleRate,
  GetClockSources,
  SetClockSource,
  GetSamplePosition,
  GetChannelInfo,
  CreateBuffers,
  DisposeBuffers,
  Start,
  Stop,
  ControlPanel,
  Future,
  OutputReady,
  DriverInfo,
  RunTime,
  SurpriseRemove,
  SetUrbSize,
  SetDeviceRate,
  Recreate,
  Count
};

enum HostFlags : uint8_t {
  kHostTimeInfo = 1,        // kAsioSupportsTimeInfo is answered 1
  kHostNoAsioMessage = 2,   // the callbacks carry no asioMessage
  kHostNoBufferSwitch = 4,  // nor bufferSwitch
  kHostNoTimeInfoSwitch = 8,  // nor bufferSwitchTimeInfo
};

inline constexpr size_t kMaxOperations = 48;
// Virtual time one input may let pass in RunTime operations.
inline constexpr uint32_t kMaxRunMs = 600;
inline constexpr uint8_t kRawChoice = 0xFF;

inline double RateFor(uint8_t choice) {
  static const double kRates[] = {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0, 44100.7, 32000.0, 0.0,
                                  -1.0,    -48000.0, 1e300,  -1e300,  4294967296.0, 4294967295.0, 4294967296.0 + 48000.0,
                                  std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(), 1e-300, 47999.999, 8000.0};
  return kRates[choice % (sizeof(kRates) / sizeof(kRates[0]))];
}

// Zero, odd and huge sizes beside the usual ones; the largest ones ask for
// more than any transfer can carry.
inline int32_t BufferSizeFor(uint8_t choice) {
  static const int32_t kSizes[] = {64,   128,  256,  512,    16,   32,  48,   96,        1,          2,
                                   3,    15,   17,   33,     100,  333, 1023, 4096,      4097,       8192,
                                   0,    -1,   -64,  65536,  1 << 20, std::numeric_limits<int32_t>::min(),
                                   std::numeric_limits<int32_t>::max(), 1 << 30, 0x20000000, 24};
  return kSizes[choice % (sizeof(kSizes) / sizeof(kSizes[0]))];
}

// The USB performance modes, values the driver refuses, raw ones.
inline uint32_t UrbSizeFor(uint32_t value) {
  static const uint32_t kSizes[] = {1, 3, 5, 0, 2, 4, 10, 0xFFFFFFFFu};
  return value < 0x100 ? kSizes[value % (sizeof(kSizes) / sizeof(kSizes[0]))] : value;
}

inline uint32_t DeviceRateFor(uint32_t value) {
  static const uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 0, 12345};
  return value < 0x100 ? kRates[value % (sizeof(kRates) / sizeof(kRates[0]))] : value;
}

// Writes inputs for the seeds.
class CWriter {
 public:
  CWriter(uint8_t devices, uint8_t first, uint8_t second, uint8_t hostFlags) {
    m_bytes = {devices, first, second, hostFlags};
  }
  const std::vector<uint8_t> &Bytes() const { return m_bytes; }

  CWriter &Call(Op op) {
    U8(static_cast<uint8_t>(op));
    return *this;
  }
  CWriter &U8(uint8_t v) {
    m_bytes.push_back(v);
    return *this;
  }
  CWriter &U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
  CWriter &U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16)); }
  CWriter &RawRate(double rate) {
    uint64_t bits = 0;
    std::memcpy(&bits, &rate, sizeof bits);
    U8(kRawChoice);
    for (int i = 0; i < 8; ++i) U8(static_cast<uint8_t>(bits >> (8 * i)));
    return *this;
  }
  // Buffers for records {isInput, channel}, with the records' count as
  // numChannels.
  struct Record {
    uint8_t isInput;
    uint8_t channel;
  };
  CWriter &CreateBuffers(const std::vector<Record> &records, uint8_t sizeChoice, int32_t adjust = 0,
                         uint8_t callbacks = 1) {
    Call(Op::CreateBuffers).U8(static_cast<uint8_t>(records.size())).U32(static_cast<uint32_t>(adjust));
    U8(sizeChoice).U8(callbacks);
    for (const Record &r : records) U8(r.isInput).U8(r.channel);
    return *this;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

}  // namespace asiofuzz
