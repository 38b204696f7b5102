// What `qav asio info` reads from a driver and how it shows it.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/qav/asio_host.h"

namespace qav {
namespace {

const char *ErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "an unknown code";
  }
}

bool Check(ASIOError result, const char *call, std::string *error) {
  if (result == ASE_OK) return true;
  *error = std::string(call) + " failed: " + ErrorName(result);
  return false;
}

// A fixed-size name the driver filled, cut at its end even without a terminator.
std::string Text(const char *name, size_t size) { return std::string(name, strnlen(name, size)); }

std::string Format(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char *format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

bool ReadChannels(IASIO *driver, LONG count, bool input, std::vector<ASIOChannelInfo> *channels, std::string *error) {
  for (LONG c = 0; c < count; ++c) {
    ASIOChannelInfo channel{};
    channel.channel = c;
    channel.isInput = input ? ASIOTrue : ASIOFalse;
    if (!Check(driver->getChannelInfo(&channel), "getChannelInfo", error)) return false;
    channels->push_back(channel);
  }
  return true;
}

// createBuffers for every channel with the preferred size, the latencies it
// brings, disposeBuffers.
bool ReadLatencies(IASIO *driver, CAsioHost &host, AsioInfo *info, std::string *error) {
  std::vector<ASIOBufferInfo> buffers;
  for (size_t c = 0; c < info->inputs.size(); ++c) buffers.push_back({ASIOTrue, static_cast<LONG>(c), {nullptr, nullptr}});
  for (size_t c = 0; c < info->outputs.size(); ++c) buffers.push_back({ASIOFalse, static_cast<LONG>(c), {nullptr, nullptr}});
  info->latencyBufferSize = info->preferredSize;
  if (!Check(driver->createBuffers(buffers.data(), static_cast<LONG>(buffers.size()), info->preferredSize,
                                   host.Callbacks()),
             "createBuffers", error)) {
    return false;
  }
  const bool read = Check(driver->getLatencies(&info->inputLatency, &info->outputLatency), "getLatencies", error);
  const bool disposed = Check(driver->disposeBuffers(), "disposeBuffers", error);
  return read && disposed;
}

std::string Ms(LONG frames, double rate) {
  return rate > 0 ? Format("%.2f ms", frames * 1000.0 / rate) : std::string("? ms");
}

}  // namespace

const uint32_t kUsualRates[8] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

const char *SampleTypeName(LONG type) {
  switch (type) {
    case ASIOSTInt16LSB: return "Int16LSB";
    case ASIOSTInt24LSB: return "Int24LSB";
    case ASIOSTInt32LSB: return "Int32LSB";
    case ASIOSTFloat32LSB: return "Float32LSB";
    case ASIOSTFloat64LSB: return "Float64LSB";
    case ASIOSTInt32LSB16: return "Int32LSB16";
    case ASIOSTInt32LSB24: return "Int32LSB24";
    case ASIOSTInt16MSB: return "Int16MSB";
    case ASIOSTInt24MSB: return "Int24MSB";
    case ASIOSTInt32MSB: return "Int32MSB";
    default: return "other";
  }
}

bool ReadAsioInfo(IASIO *driver, CAsioHost &host, AsioInfo *info, std::string *error) {
  if (driver->init(nullptr) != ASIOTrue) {
    char text[128] = {};
    driver->getErrorMessage(text);
    *error = "init failed: no device of the driver is there" + (text[0] != '\0' ? " (" + Text(text, sizeof text) + ")" : "");
    return false;
  }
  char name[64] = {};
  driver->getDriverName(name);
  info->name = Text(name, 32);
  info->version = driver->getDriverVersion();
  LONG inputs = 0, outputs = 0;
  if (!Check(driver->getChannels(&inputs, &outputs), "getChannels", error)) return false;
  if (inputs < 0 || outputs < 0 || inputs > 1024 || outputs > 1024) {
    *error = Format("getChannels answered %d inputs and %d outputs", static_cast<int>(inputs), static_cast<int>(outputs));
    return false;
  }
  if (!ReadChannels(driver, inputs, true, &info->inputs, error)) return false;
  if (!ReadChannels(driver, outputs, false, &info->outputs, error)) return false;
  if (!Check(driver->getBufferSize(&info->minSize, &info->maxSize, &info->preferredSize, &info->granularity),
             "getBufferSize", error)) {
    return false;
  }
  if (!Check(driver->getSampleRate(&info->rate), "getSampleRate", error)) return false;
  for (uint32_t rate : kUsualRates) {
    if (driver->canSampleRate(rate) == ASE_OK) info->rates.push_back(rate);
  }
  ASIOClockSource clocks[32] = {};
  LONG count = 32;
  if (!Check(driver->getClockSources(clocks, &count), "getClockSources", error)) return false;
  for (LONG i = 0; i < count && i < 32; ++i) info->clocks.push_back(clocks[i]);
  return ReadLatencies(driver, host, info, error);
}

std::vector<std::string> DescribeAsioInfo(const AsioInfo &info) {
  std::vector<std::string> lines;
  lines.push_back("driver: " + info.name + " (registered as '" + info.registryName + "'), version " +
                  std::to_string(info.version));
  lines.push_back(Format("sample rate: %.0f Hz; supported:", info.rate));
  for (uint32_t rate : info.rates) lines.back() += " " + std::to_string(rate);
  if (info.rates.empty()) lines.back() += " none of the usual rates";
  lines.push_back(Format("buffer sizes: min %d, max %d, preferred %d, granularity %d", static_cast<int>(info.minSize),
                         static_cast<int>(info.maxSize), static_cast<int>(info.preferredSize),
                         static_cast<int>(info.granularity)));
  lines.push_back(Format("latencies at %d samples: input %d samples (%s), output %d samples (%s)",
                         static_cast<int>(info.latencyBufferSize), static_cast<int>(info.inputLatency),
                         Ms(info.inputLatency, info.rate).c_str(), static_cast<int>(info.outputLatency),
                         Ms(info.outputLatency, info.rate).c_str()));
  lines.push_back("clock sources:");
  for (const ASIOClockSource &clock : info.clocks) {
    lines.push_back(Format("  %c %d: %s", clock.isCurrentSource ? '*' : ' ', static_cast<int>(clock.index),
                           Text(clock.name, sizeof clock.name).c_str()));
  }
  for (const auto *list : {&info.inputs, &info.outputs}) {
    lines.push_back(Format("%s channels: %zu", list == &info.inputs ? "input" : "output", list->size()));
    for (const ASIOChannelInfo &channel : *list) {
      lines.push_back(Format("  %2d  %-32s %s  group %d", static_cast<int>(channel.channel) + 1,
                             Text(channel.name, sizeof channel.name).c_str(), SampleTypeName(channel.type),
                             static_cast<int>(channel.channelGroup)));
    }
  }
  return lines;
}

}  // namespace qav
