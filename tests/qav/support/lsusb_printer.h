// Prints descriptor bytes the way `lsusb -v` shows one device, written from
// the descriptor layouts (USB 2.0, Audio Class 2.0, MIDI 1.0, DFU) so the
// parser can be checked against an independent rendering of the same bytes.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qav::test {

using StringText = std::function<std::optional<std::string>(uint8_t index)>;

std::string PrintLsusb(const std::vector<uint8_t> &device, const std::vector<uint8_t> &configuration,
                       const StringText &strings);

}  // namespace qav::test
