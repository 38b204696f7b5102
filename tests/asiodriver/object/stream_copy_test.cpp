// The copies between the host's channel buffers and the devices'
// interleaved transfer buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "uac2common/asiodriver/stream_copy.h"

namespace {

using qavasio::DeviceTransfer;

constexpr uint32_t kFrames = 4;

int32_t Sample(uint32_t channel, uint32_t frame) { return static_cast<int32_t>((channel + 1) * 1000 + frame); }

struct Host {
  explicit Host(uint32_t channels) : data(channels, std::vector<int32_t>(kFrames, -1)) {
    for (auto &channel : data) halves.push_back(channel.data());
  }
  std::vector<std::vector<int32_t>> data;
  std::vector<int32_t *> halves;
};

TEST(StreamCopy, OutputChannelsGoToTheirDevicesInterleaved) {
  // Two devices of 8 and 10 channels: host channels 0-7 and 8-17.
  Host host(18);
  for (uint32_t c = 0; c < 18; ++c) {
    for (uint32_t j = 0; j < kFrames; ++j) host.data[c][j] = Sample(c, j);
  }
  std::vector<int32_t> first(8 * kFrames, 0), second(10 * kFrames, 0);
  const DeviceTransfer devices[] = {{8, 0, 8, first.data()}, {10, 8, 10, second.data()}};
  qavasio::CopyOutput(host.halves.data(), 18, devices, 2, kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) {
    for (uint32_t c = 0; c < 8; ++c) EXPECT_EQ(first[j * 8 + c], Sample(c, j));
    for (uint32_t c = 0; c < 10; ++c) EXPECT_EQ(second[j * 10 + c], Sample(8 + c, j));
  }
}

TEST(StreamCopy, InputChannelsComeFromTheirDevices) {
  Host host(6);
  std::vector<int32_t> first(2 * kFrames), second(4 * kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) {
    for (uint32_t c = 0; c < 2; ++c) first[j * 2 + c] = Sample(c, j);
    for (uint32_t c = 0; c < 4; ++c) second[j * 4 + c] = Sample(2 + c, j);
  }
  const DeviceTransfer devices[] = {{2, 0, 2, first.data()}, {4, 2, 4, second.data()}};
  qavasio::CopyInput(host.halves.data(), 6, devices, 2, kFrames);
  for (uint32_t c = 0; c < 6; ++c) {
    for (uint32_t j = 0; j < kFrames; ++j) EXPECT_EQ(host.data[c][j], Sample(c, j)) << c << "/" << j;
  }
}

// A device whose format carries more channels than it named: the unnamed
// ones are silent on output and dropped on input, and the next device's
// channels stay where the host's list has them.
TEST(StreamCopy, UnnamedFormatChannelsNeitherShiftNorOverrun) {
  Host host(3);
  for (uint32_t c = 0; c < 3; ++c) {
    for (uint32_t j = 0; j < kFrames; ++j) host.data[c][j] = Sample(c, j);
  }
  std::vector<int32_t> first(4 * kFrames, 7), second(1 * kFrames, 7);
  const DeviceTransfer devices[] = {{4, 0, 2, first.data()}, {1, 2, 1, second.data()}};
  qavasio::CopyOutput(host.halves.data(), 3, devices, 2, kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) {
    EXPECT_EQ(first[j * 4 + 0], Sample(0, j));
    EXPECT_EQ(first[j * 4 + 1], Sample(1, j));
    EXPECT_EQ(first[j * 4 + 2], 0);
    EXPECT_EQ(first[j * 4 + 3], 0);
    EXPECT_EQ(second[j], Sample(2, j));
  }

  Host in(3);
  qavasio::CopyInput(in.halves.data(), 3, devices, 2, kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) EXPECT_EQ(in.data[2][j], Sample(2, j)) << "second device's channel";
}

TEST(StreamCopy, RangesBeyondTheHostsListAreNotTouched) {
  Host host(2);
  std::vector<int32_t> device(4 * kFrames, 5);
  // Claims channels 1-4 of a two-channel list.
  const DeviceTransfer devices[] = {{4, 1, 4, device.data()}};
  qavasio::CopyInput(host.halves.data(), 2, devices, 1, kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) {
    EXPECT_EQ(host.data[0][j], -1);
    EXPECT_EQ(host.data[1][j], 5);
  }
  qavasio::CopyOutput(host.halves.data(), 2, devices, 1, kFrames);
  for (uint32_t j = 0; j < kFrames; ++j) {
    EXPECT_EQ(device[j * 4 + 0], 5);
    EXPECT_EQ(device[j * 4 + 1], 0);
  }
}

// The copies against the plain per-sample definition, over shapes that put
// every channel group and frame block edge somewhere: 1 to 70 format
// channels, odd frame counts either side of the tile, devices naming fewer
// channels than their format, lists cut short by the host's channel count,
// and aggregates with empty and bufferless devices among them.
struct ShapeDevice {
  uint32_t format;
  uint32_t first;
  uint32_t listed;
  bool buffer = true;
};

struct Shape {
  uint32_t channelCount;
  std::vector<ShapeDevice> devices;
};

std::vector<Shape> Shapes() {
  std::vector<Shape> shapes;
  for (uint32_t m = 1; m <= 70; ++m) shapes.push_back({m, {{m, 0, m}}});
  for (uint32_t m : {2u, 3u, 5u, 8u, 9u, 20u, 67u}) {
    shapes.push_back({m, {{m, 0, m - 1}}});             // one unnamed format channel
    shapes.push_back({m, {{m + 3, 0, m}}});             // three silent extras
    shapes.push_back({m, {{m, m - 1, m}}});             // only the first channel fits
    shapes.push_back({m + 1, {{m, 2, m}}});             // cut short by the host's count
    shapes.push_back({m, {{m, m, m}}});                 // nothing fits: silence
  }
  shapes.push_back({20, {{8, 0, 8}, {10, 8, 8}, {4, 16, 4}}});
  shapes.push_back({74, {{32, 0, 32}, {0, 32, 0}, {32, 32, 32, false}, {32, 32, 32}, {10, 64, 10}}});
  shapes.push_back({7, {{2, 0, 2}, {6, 2, 5}, {3, 7, 3}}});
  shapes.push_back({70, {{70, 0, 70}, {2, 68, 2}}});  // overlapping claims: the later device wins on input
  return shapes;
}

constexpr uint32_t kShapeFrames[] = {1, 3, 4, 5, 7, 8, 9, 31, 63, 64, 65, 127, 129, 255, 300};
constexpr int32_t kUntouched = 0x5A5A5A5A;

int32_t Marked(uint32_t tag, uint32_t channel, uint32_t frame) {
  return static_cast<int32_t>(tag * 0x1000000u + channel * 0x1000u + frame + 1);
}

// The copies as the per-sample definition has them, on separate buffers.
void ReferenceOutput(const std::vector<std::vector<int32_t>> &host, const Shape &shape, uint32_t frames,
                     std::vector<std::vector<int32_t>> &out) {
  for (size_t d = 0; d < shape.devices.size(); ++d) {
    const ShapeDevice &device = shape.devices[d];
    if (!device.buffer || device.format == 0) continue;
    for (uint32_t j = 0; j < frames; ++j) {
      for (uint32_t c = 0; c < device.format; ++c) {
        const uint64_t channel = uint64_t{device.first} + c;
        const bool mapped = c < device.listed && channel < shape.channelCount;
        out[d][static_cast<size_t>(j) * device.format + c] = mapped ? host[channel][j] : 0;
      }
    }
  }
}

void ReferenceInput(const std::vector<std::vector<int32_t>> &in, const Shape &shape, uint32_t frames,
                    std::vector<std::vector<int32_t>> &host) {
  for (size_t d = 0; d < shape.devices.size(); ++d) {
    const ShapeDevice &device = shape.devices[d];
    if (!device.buffer || device.format == 0) continue;
    for (uint32_t c = 0; c < device.format && c < device.listed; ++c) {
      const uint64_t channel = uint64_t{device.first} + c;
      if (channel >= shape.channelCount) break;
      for (uint32_t j = 0; j < frames; ++j) host[channel][j] = in[d][static_cast<size_t>(j) * device.format + c];
    }
  }
}

struct Buffers {
  // Every host channel and device buffer carries a guard sample past its end.
  Buffers(const Shape &shape, uint32_t frames) {
    for (uint32_t c = 0; c < shape.channelCount; ++c) host.emplace_back(frames + 1, kUntouched);
    for (const ShapeDevice &device : shape.devices) {
      devices.emplace_back(static_cast<size_t>(device.format) * frames + 1, kUntouched);
    }
  }
  std::vector<int32_t *> Halves() {
    std::vector<int32_t *> halves;
    for (auto &channel : host) halves.push_back(channel.data());
    return halves;
  }
  std::vector<DeviceTransfer> Transfers(const Shape &shape) {
    std::vector<DeviceTransfer> transfers;
    for (size_t d = 0; d < shape.devices.size(); ++d) {
      const ShapeDevice &device = shape.devices[d];
      transfers.push_back({device.format, device.first, device.listed, device.buffer ? devices[d].data() : nullptr});
    }
    return transfers;
  }
  std::vector<std::vector<int32_t>> host;
  std::vector<std::vector<int32_t>> devices;
};

std::string Describe(const Shape &shape, uint32_t frames) {
  std::string text = std::to_string(shape.channelCount) + " host channels, " + std::to_string(frames) + " frames:";
  for (const ShapeDevice &d : shape.devices) {
    text += " [" + std::to_string(d.format) + " from " + std::to_string(d.first) + ", " + std::to_string(d.listed) +
            " listed" + (d.buffer ? "]" : ", no buffer]");
  }
  return text;
}

TEST(StreamCopy, EveryShapeMatchesThePerSampleCopy) {
  for (const Shape &shape : Shapes()) {
    for (uint32_t frames : kShapeFrames) {
      SCOPED_TRACE(Describe(shape, frames));
      Buffers fast(shape, frames), reference(shape, frames);
      for (uint32_t c = 0; c < shape.channelCount; ++c) {
        for (uint32_t j = 0; j < frames; ++j) fast.host[c][j] = reference.host[c][j] = Marked(0, c, j);
      }
      std::vector<int32_t *> halves = fast.Halves();
      std::vector<DeviceTransfer> transfers = fast.Transfers(shape);
      const uint32_t count = static_cast<uint32_t>(transfers.size());
      qavasio::CopyOutput(halves.data(), shape.channelCount, transfers.data(), count, frames);
      ReferenceOutput(reference.host, shape, frames, reference.devices);
      ASSERT_EQ(fast.devices, reference.devices) << "output";

      for (size_t d = 0; d < shape.devices.size(); ++d) {
        for (size_t i = 0; i + 1 < fast.devices[d].size(); ++i) {
          fast.devices[d][i] = reference.devices[d][i] = Marked(static_cast<uint32_t>(d + 1), 0, static_cast<uint32_t>(i));
        }
      }
      for (uint32_t c = 0; c < shape.channelCount; ++c) {
        std::fill(fast.host[c].begin(), fast.host[c].end() - 1, kUntouched);
        std::fill(reference.host[c].begin(), reference.host[c].end() - 1, kUntouched);
      }
      qavasio::CopyInput(halves.data(), shape.channelCount, transfers.data(), count, frames);
      ReferenceInput(reference.devices, shape, frames, reference.host);
      ASSERT_EQ(fast.host, reference.host) << "input";
    }
  }
}

}  // namespace
