// Device set-up at init (channels, rates, clock sources) and the opening and
// closing of every device's pins.
#include <cstdio>
#include <cstring>

#include "uac2common/asiodriver/asio_module_state.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

constexpr size_t kMaxRates = 16;
constexpr ULONG kMaxClockSources = 16;

// A channel as the host sees it: the device's name, with the friendly name
// of its device in front when several devices are aggregated, cut to 31
// characters.
ASIOChannelInfo ChannelInfo(LONG channel, bool input, const char *deviceName, const char *channelName,
                            bool aggregated) {
  ASIOChannelInfo info = {};
  info.channel = channel;
  info.isInput = input ? ASIOTrue : ASIOFalse;
  info.isActive = ASIOFalse;
  info.channelGroup = 0;
  info.type = ASIOSTInt32LSB;
  if (aggregated) {
    std::snprintf(info.name, sizeof info.name, "%s %s", deviceName, channelName);
  } else {
    std::snprintf(info.name, sizeof info.name, "%s", channelName);
  }
  return info;
}

// UTF-16 to the host's 8-bit text: ASCII as it is, anything else '?'.
void NarrowName(const UINT16 *wide, size_t wideCount, char *out, size_t outSize) {
  size_t n = 0;
  for (size_t i = 0; i < wideCount && wide[i] != 0 && n + 1 < outSize; ++i) {
    out[n++] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
  }
  out[n] = '\0';
}

ASIOClockSource ClockSource(LONG index, bool current, const char *name) {
  ASIOClockSource clock = {};
  clock.index = index;
  clock.associatedChannel = -1;
  clock.associatedGroup = -1;
  clock.isCurrentSource = current ? ASIOTrue : ASIOFalse;
  std::snprintf(clock.name, sizeof clock.name, "%s", name);
  return clock;
}

// The device's rates up to the first 0, at most 16.
std::vector<int64_t> DeviceRates(CQZAudioFilter *device) {
  ULONG rates[kMaxRates] = {};
  std::vector<int64_t> list;
  if (FAILED(device->GetSampleRates(rates, kMaxRates))) return list;
  for (ULONG rate : rates) {
    if (rate == 0) break;
    list.push_back(rate);
  }
  return list;
}

}  // namespace

bool QZUsb2Asio::SetUpDevice(CQZAudioFilter *filter, bool aggregated) {
  if (filter == nullptr || filter->PinsAreOpen()) return false;
  if (filter->ReadDeviceIds() != 0) return false;
  if (filter->GetRenderPinCount() != 1) return false;
  std::vector<std::string> inputNames;
  std::vector<std::string> outputNames;
  if (!filter->GetChannelNames(inputNames, outputNames)) return false;

  qavasio::DeviceChannels channels;
  channels.firstInput = static_cast<uint32_t>(m_inputChannels.size());
  channels.firstOutput = static_cast<uint32_t>(m_outputChannels.size());
  for (size_t i = 0; i < inputNames.size(); ++i) {
    m_inputChannels.push_back(
        ChannelInfo(static_cast<LONG>(i), true, filter->GetFriendlyName(), inputNames[i].c_str(), aggregated));
  }
  for (size_t i = 0; i < outputNames.size(); ++i) {
    m_outputChannels.push_back(
        ChannelInfo(static_cast<LONG>(i), false, filter->GetFriendlyName(), outputNames[i].c_str(), aggregated));
  }
  channels.inputs = static_cast<uint32_t>(inputNames.size());
  channels.outputs = static_cast<uint32_t>(outputNames.size());
  m_deviceChannels.push_back(channels);
  m_devices.push_back(filter);
  return true;
}

void QZUsb2Asio::CollectRates() {
  m_rates.clear();
  if (m_devices.empty()) return;
  m_rates = DeviceRates(m_devices[0]);
  for (size_t d = 1; d < m_devices.size(); ++d) {
    const std::vector<int64_t> other = DeviceRates(m_devices[d]);
    std::vector<int64_t> common;
    for (int64_t rate : m_rates) {
      for (int64_t candidate : other) {
        if (candidate == rate) {
          common.push_back(rate);
          break;
        }
      }
    }
    m_rates.swap(common);
  }
}

void QZUsb2Asio::CollectClockSources() {
  m_clocks.clear();
  if (m_devices.size() > 1) {
    m_clocks.push_back(ClockSource(0, true, "Aggregated devices"));
    return;
  }
  if (m_devices.size() == 1) {
    CQZAudioFilter *device = m_devices[0];
    const ULONG current = device->GetClockSource();
    for (ULONG i = 0; i < kMaxClockSources; ++i) {
      ClockSourceInfo record = {};
      if (FAILED(device->GetClockSourceInfo(i, &record))) break;
      char name[32];
      NarrowName(record.Name, sizeof record.Name / sizeof record.Name[0], name, sizeof name);
      m_clocks.push_back(ClockSource(static_cast<LONG>(i), i == current, name));
    }
  }
  if (m_clocks.empty()) m_clocks.push_back(ClockSource(0, true, "Internal"));
}

bool QZUsb2Asio::OpenAllPins(uint32_t rate) {
  if (m_devices.empty()) return false;
  if (rate == 0) {
    const uint32_t pending = qavasio::TakePendingRate();
    if (pending != 0) rate = pending;
  }
  for (CQZAudioFilter *device : m_devices) {
    if (!device->PinsAreOpen() && !device->OpenPins(rate)) return false;
    rate = device->GetActiveSampleRate();
  }
  return true;
}

void QZUsb2Asio::CloseAllPins() {
  for (CQZAudioFilter *device : m_devices) device->ClosePins();
}
