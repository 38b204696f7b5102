// Parsing of the device commands' arguments. Every parser accepts only the
// whole argument: no signs, no trailing text, no values out of range.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qav {

// A whole decimal number from `low` to `high`.
std::optional<uint32_t> ParseNumber(const std::string &text, uint32_t low, uint32_t high);

// The USB performance modes and their URB sizes (frames per transfer).
std::optional<uint32_t> ParseMode(const std::string &text);
// "recording", "balanced", "mixing", or "custom" for another size.
std::string ModeName(uint32_t urbSize);
// The modes of at least `minimum` ms, "balanced or mixing"; empty for none.
std::string ModesFrom(uint32_t minimum);

}  // namespace qav
