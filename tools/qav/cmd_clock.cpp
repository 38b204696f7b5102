// `qav clock [N]`: the device's clock sources, with their names, kinds and
// the validity each reported when last asked (the driver asks the first
// clock at start and any clock a status interrupt names, so "not reported
// valid" may mean "never asked"), and the one selected; with N,
// selects clock source N. The driver answers a selection with success
// whatever happens, so the choice is read back to tell whether it held.
#include <cstdio>

#include "tools/qav/command_args.h"
#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

struct ClockSource {
  ULONG number = 0;
  std::string name;
  UCHAR clockId = 0;
  UCHAR selectorId = 0;
  ULONG attributes = 0;
};

void AppendUtf8(std::string &text, uint32_t c) {
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xc0 | c >> 6);
    text += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xe0 | c >> 12);
    text += static_cast<char>(0x80 | (c >> 6 & 0x3f));
    text += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    text += static_cast<char>(0xf0 | c >> 18);
    text += static_cast<char>(0x80 | (c >> 12 & 0x3f));
    text += static_cast<char>(0x80 | (c >> 6 & 0x3f));
    text += static_cast<char>(0x80 | (c & 0x3f));
  }
}

bool IsHigh(uint32_t unit) { return unit >= 0xd800 && unit < 0xdc00; }
bool IsLow(uint32_t unit) { return unit >= 0xdc00 && unit < 0xe000; }

// The clock's UTF-16 name as UTF-8; an unpaired surrogate shows as '?'.
std::string Utf8(const ClockSourceInfo &info) {
  WCHAR units[UAC_CLOCK_NAME_CHARS];
  const ULONG count = ClockSourceInfoGetName(info, units, UAC_CLOCK_NAME_CHARS);
  std::string text;
  for (ULONG i = 0; i < count; ++i) {
    const uint32_t unit = static_cast<uint16_t>(units[i]);
    const uint32_t next = i + 1 < count ? static_cast<uint16_t>(units[i + 1]) : 0;
    if (IsHigh(unit) && IsLow(next)) {
      AppendUtf8(text, 0x10000 + ((unit - 0xd800) << 10) + (next - 0xdc00));
      ++i;
    } else {
      AppendUtf8(text, IsHigh(unit) || IsLow(unit) ? '?' : unit);
    }
  }
  return text;
}

// Clock sources 0 to 15; the driver answers "not found" for a number it
// does not have, so the list ends at the first gap.
std::vector<ClockSource> ReadClockSources(CQavDevice &device) {
  std::vector<ClockSource> sources;
  for (ULONG number = 0; number < UAC_MAX_CLOCK_SOURCES; ++number) {
    KSP_UAC_INDEX request{};
    request.Property.Set = KSPROPSETID_UacPrivate;
    request.Property.Id = KSPROPERTY_UAC_CLOCK_SOURCE_INFO;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.Index = number;
    ClockSourceInfo info{};
    ULONG bytes = 0;
    if (FAILED(CKsIrpTarget::SyncIoctl(device.Filter().GetHandle(), IOCTL_KS_PROPERTY, &request, sizeof request,
                                       &info, sizeof info, &bytes)) ||
        bytes != sizeof info) {
      break;
    }
    sources.push_back({number, Utf8(info), info.ClockId, info.SelectorId, info.Attributes});
  }
  return sources;
}

const char *Kind(ULONG attributes) {
  switch (attributes & UAC_CLOCK_TYPE_MASK) {
    case UAC_CLOCK_TYPE_EXTERNAL: return "external";
    case UAC_CLOCK_TYPE_INTERNAL_FIXED: return "internal fixed";
    case UAC_CLOCK_TYPE_INTERNAL_VARIABLE: return "internal variable";
    default: return "internal programmable";
  }
}

std::string Describe(const ClockSource &source, bool selected) {
  char id[8];
  std::snprintf(id, sizeof id, "0x%02X", source.clockId);
  return std::string(selected ? "* " : "  ") + std::to_string(source.number) + ": " +
         (source.name.empty() ? "(no name)" : source.name) + " (clock " + id + ", " + Kind(source.attributes) +
         ", " + ((source.attributes & UAC_CLOCK_VALID) != 0 ? "valid" : "not reported valid") + ")";
}

}  // namespace

int RunClock(CConsole &console, const Args &args) {
  std::optional<uint32_t> wanted;
  if (!args.empty() && !(wanted = ParseNumber(args[0], 0, UAC_MAX_CLOCK_SOURCES - 1))) {
    console.Err("'" + args[0] + "' is not a clock source number (0 to " + std::to_string(UAC_MAX_CLOCK_SOURCES - 1) +
                ", as `qav clock` lists them)");
    return kExitUsage;
  }
  CQavDevice device;
  std::string error;
  if (!device.Open(&error)) {
    console.Err(error);
    return kExitFailed;
  }
  const std::vector<ClockSource> sources = ReadClockSources(device);
  if (sources.empty()) {
    console.Err("the driver lists no clock source for the device");
    return kExitFailed;
  }
  if (wanted && *wanted >= sources.size()) {
    console.Err("the device has no clock source " + std::to_string(*wanted) + " (it has " +
                std::to_string(sources.size()) + ", numbered from 0)");
    return kExitFailed;
  }
  ULONG selected = 0;
  if (wanted && FAILED(device.SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, *wanted))) {
    console.Err("the driver refused to select clock source " + std::to_string(*wanted));
    return kExitFailed;
  }
  if (FAILED(device.GetU32(KSPROPERTY_UAC_CLOCK_SOURCE, &selected))) {
    console.Err("the driver did not tell which clock source is selected");
    return kExitFailed;
  }
  // Without a selector in front of it, a device's one clock is the clock in
  // use; the driver has no selector input to report for it.
  if (sources.size() == 1 && sources[0].selectorId == 0) selected = 0;
  if (wanted && selected != *wanted) {
    console.Err("the device stayed on clock source " + std::to_string(selected) + " instead of " +
                std::to_string(*wanted));
    return kExitFailed;
  }
  for (const ClockSource &source : sources) console.Out(Describe(source, source.number == selected));
  if (selected >= sources.size()) console.Out("(the selected clock source is not known yet)");
  return kExitOk;
}

}  // namespace qav
