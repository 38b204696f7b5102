#include "uac2common/asiodriver/stream_copy.h"

namespace qavasio {
namespace {

// The device channels that map to host channels, bounded by both lists.
uint32_t MappedChannels(const DeviceTransfer &device, uint32_t channelCount) {
  uint32_t mapped = device.listedChannels < device.formatChannels ? device.listedChannels : device.formatChannels;
  if (device.firstChannel >= channelCount) return 0;
  const uint32_t room = channelCount - device.firstChannel;
  return mapped < room ? mapped : room;
}

}  // namespace

void CopyOutput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
                uint32_t frames) {
  for (uint32_t d = 0; d < deviceCount; ++d) {
    const DeviceTransfer &device = devices[d];
    const uint32_t m = device.formatChannels;
    if (device.buffer == nullptr || m == 0) continue;
    const uint32_t mapped = MappedChannels(device, channelCount);
    for (uint32_t c = 0; c < m; ++c) {
      int32_t *out = device.buffer + c;
      const int32_t *in = c < mapped ? halves[device.firstChannel + c] : nullptr;
      for (uint32_t j = 0; j < frames; ++j) out[static_cast<uint64_t>(j) * m] = in != nullptr ? in[j] : 0;
    }
  }
}

void CopyInput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
               uint32_t frames) {
  for (uint32_t d = 0; d < deviceCount; ++d) {
    const DeviceTransfer &device = devices[d];
    const uint32_t m = device.formatChannels;
    if (device.buffer == nullptr || m == 0) continue;
    const uint32_t mapped = MappedChannels(device, channelCount);
    for (uint32_t c = 0; c < mapped; ++c) {
      const int32_t *in = device.buffer + c;
      int32_t *out = halves[device.firstChannel + c];
      for (uint32_t j = 0; j < frames; ++j) out[j] = in[static_cast<uint64_t>(j) * m];
    }
  }
}

}  // namespace qavasio
