#include "tools/qav/command_args.h"

#include "uac2common/uac2private.h"

namespace qav {
namespace {

struct ModeEntry {
  const char *name;
  uint32_t urbSize;
};

constexpr ModeEntry kModes[] = {
    {"recording", UAC_URB_SIZE_RECORDING},
    {"balanced", UAC_URB_SIZE_BALANCED},
    {"mixing", UAC_URB_SIZE_MIXING},
};

}  // namespace

std::optional<uint32_t> ParseNumber(const std::string &text, uint32_t low, uint32_t high) {
  // Ten digits at most: anything longer overflows 32 bits or carries zeros
  // nobody means.
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<uint32_t> ParseMode(const std::string &text) {
  for (const ModeEntry &mode : kModes) {
    if (text == mode.name) return mode.urbSize;
  }
  return std::nullopt;
}

std::string ModeName(uint32_t urbSize) {
  for (const ModeEntry &mode : kModes) {
    if (urbSize == mode.urbSize) return mode.name;
  }
  return "custom";
}

std::string ModesFrom(uint32_t minimum) {
  std::string text;
  size_t left = 0;
  for (const ModeEntry &mode : kModes) left += mode.urbSize >= minimum ? 1 : 0;
  for (const ModeEntry &mode : kModes) {
    if (mode.urbSize < minimum) continue;
    --left;
    text += mode.name;
    text += left > 1 ? ", " : left == 1 ? " or " : "";
  }
  return text;
}

}  // namespace qav
