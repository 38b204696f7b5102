// The filter descriptor assembled at device start: pin ids follow the order
// in which audio directions are added, each with its bridge pin, node and
// two connections, and the data ranges take channel counts and rate limits.
#include "kerneldriver/ks/filter_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

namespace {

using Connection = std::tuple<ULONG, ULONG, ULONG, ULONG>;

bool SameGuid(const GUID *a, const GUID &b) { return a != nullptr && std::memcmp(a, &b, sizeof(GUID)) == 0; }

class FilterDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptor = FilterDescriptorCreate();
    ASSERT_NE(descriptor, nullptr);
  }
  void TearDown() override { FilterDescriptorFree(descriptor); }

  // Each connection as (from node, from pin, to node, to pin).
  std::vector<Connection> Connections() const {
    std::vector<Connection> out;
    for (ULONG i = 0; i < descriptor->filter.ConnectionsCount; ++i) {
      const KSTOPOLOGY_CONNECTION &c = descriptor->connections[i];
      out.emplace_back(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin);
    }
    return out;
  }

  winsim::Machine machine;
  DynamicFilterDescriptor *descriptor = nullptr;
};

// Its streaming pins process at DISPATCH_LEVEL, where ks.sys reads their
// descriptors and data ranges: none of it may be pageable.
TEST_F(FilterDescriptorTest, LivesInNonpagedPool) {
  FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Capture);
  FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render);
  EXPECT_NE(descriptor->pins[0].Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING, 0u);
  EXPECT_FALSE(winsim::Pool::Instance().PagedBlockAt(descriptor, sizeof *descriptor, nullptr));
}

TEST_F(FilterDescriptorTest, StartsWithoutPinsAndWithAllFourCategories) {
  EXPECT_EQ(descriptor->filter.PinDescriptorsCount, 0u);
  ASSERT_EQ(descriptor->filter.CategoriesCount, 4u);
  EXPECT_TRUE(SameGuid(&descriptor->filter.Categories[0], KSCATEGORY_AUDIO));
  EXPECT_TRUE(SameGuid(&descriptor->filter.Categories[1], KSCATEGORY_RENDER));
  EXPECT_TRUE(SameGuid(&descriptor->filter.Categories[2], KSCATEGORY_CAPTURE));
  EXPECT_TRUE(SameGuid(&descriptor->filter.Categories[3], KSCATEGORY_UacPrivate));
  EXPECT_EQ(descriptor->filter.PinDescriptorSize, sizeof(KSPIN_DESCRIPTOR_EX));
  EXPECT_EQ(descriptor->captureRanges[0].MaximumChannels, 2u);
  EXPECT_EQ(descriptor->renderRanges[1].MinimumSampleFrequency, 44100u);
  EXPECT_EQ(descriptor->renderRanges[1].MaximumSampleFrequency, 48000u);
}

TEST_F(FilterDescriptorTest, RenderOnlyGivesAStreamingPinInABridgePinAndADac) {
  FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render);
  ASSERT_EQ(descriptor->filter.PinDescriptorsCount, 2u);
  const KSPIN_DESCRIPTOR &streaming = descriptor->pins[0].PinDescriptor;
  EXPECT_EQ(streaming.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(streaming.Communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(streaming.DataRangesCount, 2u);
  EXPECT_TRUE(SameGuid(streaming.Name, KSCATEGORY_RENDER));
  EXPECT_EQ(descriptor->pins[0].InstancesPossible, 1u);
  const KSPIN_DESCRIPTOR &bridge = descriptor->pins[1].PinDescriptor;
  EXPECT_EQ(bridge.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(bridge.Communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_TRUE(SameGuid(bridge.Category, KSNODETYPE_LINE_CONNECTOR));
  ASSERT_EQ(descriptor->filter.NodeDescriptorsCount, 1u);
  EXPECT_TRUE(SameGuid(descriptor->nodes[0].Type, KSNODETYPE_DAC));
  EXPECT_EQ(Connections(), (std::vector<Connection>{{KSFILTER_NODE, 0, 0, 1}, {0, 0, KSFILTER_NODE, 1}}));
}

TEST_F(FilterDescriptorTest, RenderThenCaptureNumbersPinsAndNodesInThatOrder) {
  FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render);
  FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Capture);
  ASSERT_EQ(descriptor->filter.PinDescriptorsCount, 4u);
  EXPECT_EQ(descriptor->pins[2].PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(descriptor->pins[3].PinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_TRUE(SameGuid(descriptor->nodes[1].Type, KSNODETYPE_ADC));
  auto connections = Connections();
  ASSERT_EQ(connections.size(), 4u);
  EXPECT_EQ(connections[2], Connection(KSFILTER_NODE, 3, 1, 1));
  EXPECT_EQ(connections[3], Connection(1, 0, KSFILTER_NODE, 2));
}

TEST_F(FilterDescriptorTest, ChannelsGoToOneDirectionAndRateLimitsToAllRanges) {
  FilterDescriptorSetChannels(descriptor, AudioDirection::Capture, 18);
  FilterDescriptorSetRateLimits(descriptor, 44100, 192000);
  EXPECT_EQ(descriptor->captureRanges[0].MaximumChannels, 18u);
  EXPECT_EQ(descriptor->captureRanges[1].MaximumChannels, 18u);
  EXPECT_EQ(descriptor->renderRanges[0].MaximumChannels, 2u);
  for (const auto *range : {&descriptor->captureRanges[0], &descriptor->captureRanges[1], &descriptor->renderRanges[0],
                            &descriptor->renderRanges[1]}) {
    EXPECT_EQ(range->MinimumSampleFrequency, 44100u);
    EXPECT_EQ(range->MaximumSampleFrequency, 192000u);
  }
}

TEST_F(FilterDescriptorTest, StopsAddingWhenThePinTableIsFull) {
  for (int i = 0; i < 20; ++i) FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render);
  EXPECT_EQ(descriptor->filter.PinDescriptorsCount, kFilterMaxPins);
  EXPECT_EQ(descriptor->filter.NodeDescriptorsCount, kFilterMaxPins / 2);
  EXPECT_EQ(descriptor->filter.ConnectionsCount, kFilterMaxConnections);
}

}  // namespace
