// A validating walk over a configuration descriptor that came from outside
// (a capture of a real device, a corrupted copy): every read is bounded by
// the bytes given and by wTotalLength, every descriptor's bLength is checked
// against what its kind allows, and the counts the driver relies on are
// checked against its limits. The first problem ends the walk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace winsim::devices {

enum class ParseError : uint8_t {
  None,
  BadDeviceDescriptor,         // shorter than 18 bytes, or wrong bLength or bDescriptorType
  BadConfigurationHeader,      // shorter than 9 bytes, wrong bLength or type, wTotalLength below 9
  TotalLengthExceedsData,      // wTotalLength claims more bytes than were given
  ZeroLength,                  // a descriptor with bLength 0
  BadLength,                   // bLength impossible for the descriptor's kind
  Truncated,                   // a descriptor runs past wTotalLength
  BadSubtype,                  // class-specific subtype undefined for its interface
  DescriptorOutsideInterface,  // an endpoint before any interface descriptor
  EndpointCountMismatch,       // bNumEndpoints differs from the endpoint descriptors that follow
  TooManyInterfaces,           // more than eight interfaces
  TooManyClocks,               // more than sixteen clock sources
  CountOutOfRange,             // a channel, subslot, jack or packet count the device cannot mean
  NotAudioClass2,              // AudioControl interface of another class version
  NoAudioFunction,             // no AudioControl interface followed by AudioStreaming, and not in firmware mode
  BadString                    // a string descriptor that does not decode
};

const char *ParseErrorName(ParseError error);

inline constexpr size_t kMaxInterfaces = 8;
inline constexpr size_t kMaxClockSources = 16;

struct InterfaceRecord {
  size_t offset = 0;  // of the interface descriptor
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t numEndpoints = 0;
  uint8_t cls = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
};

struct DescriptorRecord {
  size_t offset = 0;
  uint8_t length = 0;
  uint8_t type = 0;
  uint8_t subtype = 0;  // byte 2 of class-specific descriptors, else 0
  int interface = -1;   // index into ConfigurationWalk::interfaces; -1 before the first
};

struct ConfigurationWalk {
  ParseError error = ParseError::None;
  std::string detail;
  size_t errorOffset = 0;
  size_t totalLength = 0;
  uint8_t numInterfaces = 0;
  std::vector<InterfaceRecord> interfaces;  // every interface descriptor, alternate settings included
  std::vector<DescriptorRecord> descriptors;  // everything after the configuration header

  bool Ok() const { return error == ParseError::None; }
};

// On success every DescriptorRecord lies wholly inside
// bytes[0, totalLength) and has the length its kind requires.
ConfigurationWalk WalkConfiguration(std::span<const uint8_t> bytes);

}  // namespace winsim::devices
