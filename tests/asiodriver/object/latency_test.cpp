// The latency formula, the model offsets and the number of request sets.
#include <gtest/gtest.h>

#include "uac2common/asiodriver/asio_latency.h"

namespace {

using namespace qavasio;

struct LatencyCase {
  uint32_t rate, buffer, urbSize, offset;
  uint64_t total;
};

// e = ceil(P*R/1000), l = ceil(2R/1000), n = max(2, ceil(3e/B)):
// total = e + l + 2h + (n + 1) B, the buffer terms left out without buffers.
const LatencyCase kLatency[] = {
    {48000, 256, 1, 40, 48 + 96 + 80 + 3 * 256},
    {48000, 64, 3, 59, 144 + 96 + 118 + (7 + 1) * 64},  // n = ceil(432 / 64) = 7
    {44100, 128, 5, 121, 221 + 89 + 242 + (6 + 1) * 128},  // e = 220.5 rounded up, n = ceil(663 / 128)
    {0, 128, 5, 121, 221 + 89 + 242 + (6 + 1) * 128},      // rate 0 counts as 44100
    {96000, 0, 1, 138, 96 + 192 + 276},                    // no buffers yet: no buffer terms
    {48000, 0, 10, 59, 480 + 96 + 118},
};

TEST(AsioLatency, TotalFollowsTheTransfersConvertersAndBuffersInFlight) {
  for (const LatencyCase &c : kLatency) {
    EXPECT_EQ(TotalLatency(c.rate, c.buffer, c.urbSize, c.offset), c.total)
        << c.rate << " Hz, buffer " << c.buffer << ", URB " << c.urbSize << " ms";
  }
}

TEST(AsioLatency, EachDirectionIsHalfTheTotalRoundedUp) {
  EXPECT_EQ(DirectionLatency(1001), 501u);
  EXPECT_EQ(DirectionLatency(1000), 500u);
}

struct OffsetCase {
  uint16_t vendor, product;
  uint32_t offset;
};

const OffsetCase kOffsets[] = {
    {kFamilyVendorId, 0x8000, 40},  {kFamilyVendorId, 0x8012, 40},  {kFamilyVendorId, 0x800C, 138},
    {kFamilyVendorId, 0x8014, 138}, {kFamilyVendorId, 0x8002, 121}, {kFamilyVendorId, 0x8004, 121},
    {kFamilyVendorId, 0x8001, 59},  {0x1A2C, 0x8000, 59},           {0, 0, 59},
};

TEST(AsioLatency, ModelOffsetsOnlyForTheFamilysProducts) {
  for (const OffsetCase &c : kOffsets) {
    EXPECT_EQ(ModelOffset(c.vendor, c.product), c.offset) << std::hex << c.vendor << ":" << c.product;
  }
}

struct SetsCase {
  uint32_t framesPerPacket, buffer, sets;
};

const SetsCase kSets[] = {
    {48, 64, 3}, {48, 256, 2}, {0, 64, 2}, {480, 16, 90}, {48, 0, 2},
};

TEST(AsioLatency, RequestSetsCoverThreeAllocatorFramesAtLeastTwo) {
  for (const SetsCase &c : kSets) {
    EXPECT_EQ(RequestSetCount(c.framesPerPacket, c.buffer), c.sets) << c.framesPerPacket << "/" << c.buffer;
  }
}

}  // namespace
