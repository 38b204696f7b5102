// The copies between the host's channel buffers and the devices'
// interleaved transfer buffers.
#include <gtest/gtest.h>

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

}  // namespace
