// Human-readable decoding of a USB Audio Class 2.0 device's descriptors, for
// `qav descriptors`. Works on bytes from anywhere (the driver's cached copy,
// a simulated device, a capture): every read is bounded by the buffer and by
// wTotalLength, and the first malformed descriptor ends the listing with a
// line that says what is wrong and where.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace qav {

// Returns the UTF-8 text of string descriptor `index`, or nothing.
using StringLookup = std::function<std::optional<std::string>(uint8_t index)>;

std::string DumpDeviceDescriptor(std::span<const uint8_t> device, const StringLookup &strings);
std::string DumpConfiguration(std::span<const uint8_t> configuration, const StringLookup &strings);

// UTF-16LE string descriptor bytes to UTF-8; nothing when malformed.
std::optional<std::string> DecodeStringDescriptor(std::span<const uint8_t> descriptor);

}  // namespace qav
