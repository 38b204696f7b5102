// Moving samples between the host's per-channel ASIO buffers and the
// devices' interleaved transfer buffers. Every sample is a 32-bit container.
#pragma once
#include <cstdint>

namespace qavasio {

// One device's share of one direction in one request set. The device's
// format carries `formatChannels` interleaved channels; the first
// `listedChannels` of them are the host's channels `firstChannel` onward
// (a device may name fewer channels than its format carries; the rest are
// silent on output and dropped on input).
struct DeviceTransfer {
  uint32_t formatChannels;
  uint32_t firstChannel;
  uint32_t listedChannels;
  int32_t *buffer;  // formatChannels x frames samples
};

// `halves[n]` is half 0 of host channel n's buffer; `channelCount` bounds
// every index taken from the transfers.
void CopyOutput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
                uint32_t frames);
void CopyInput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
               uint32_t frames);

}  // namespace qavasio
