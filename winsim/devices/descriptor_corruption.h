// Malformed copies of a well-formed configuration descriptor, for fault
// injection: a device serves the copy and the driver must survive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace winsim::devices {

enum class Corruption : uint8_t {
  ZeroLength,            // the target descriptor's bLength becomes 0
  OverlongLength,        // the target descriptor's bLength becomes 255
  TruncatedTotalLength,  // wTotalLength (and the bytes) end in the middle of the last descriptor
  TooManyInterfaces,     // vendor-specific interfaces appended up to nine interfaces
  TooManyClocks,         // clock sources added up to seventeen
  WrongSubtype           // the target class-specific descriptor's subtype becomes 0 (undefined)
};

inline constexpr Corruption kAllCorruptions[] = {
    Corruption::ZeroLength,   Corruption::OverlongLength, Corruption::TruncatedTotalLength,
    Corruption::TooManyInterfaces, Corruption::TooManyClocks, Corruption::WrongSubtype};

const char *CorruptionName(Corruption kind);

// Picks the target: the first clock source when there is one, else the
// first (class-specific, for WrongSubtype) descriptor after the header.
inline constexpr size_t kDefaultCorruptionTarget = SIZE_MAX;

// `target` is the ordinal of a descriptor after the configuration header
// (0 = the first); it matters only for the three kinds that hit one
// descriptor. Nothing when the input is not well formed, the target does not
// exist or does not fit the kind (WrongSubtype needs a class-specific
// descriptor), or there is no AudioControl interface to add clocks to.
std::optional<std::vector<uint8_t>> CorruptConfiguration(std::span<const uint8_t> configuration, Corruption kind,
                                                         size_t target = kDefaultCorruptionTarget);

}  // namespace winsim::devices
