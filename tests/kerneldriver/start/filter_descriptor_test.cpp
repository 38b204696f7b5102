// The filter a KS client finds after the driver started on a model: one
// streaming pin (a sink taking audio) and one bridge pin per direction the
// device streams, joined through a converter node, the four categories, and
// data ranges limited to the device's channels and its clock's rates.
#include <algorithm>
#include <cstring>

#include "driver_harness.h"

namespace dstest {
namespace {

bool SameGuid(const GUID *a, const GUID &b) { return a != nullptr && std::memcmp(a, &b, sizeof(GUID)) == 0; }

// The pin at the other end of the node the pin connects to; -1 when none.
LONG BridgeOf(const KSFILTER_DESCRIPTOR &filter, ULONG pin) {
  auto touches = [&](const KSTOPOLOGY_CONNECTION &k, ULONG p) {
    return (k.FromNode == KSFILTER_NODE && k.FromNodePin == p) || (k.ToNode == KSFILTER_NODE && k.ToNodePin == p);
  };
  const auto *end = filter.Connections + filter.ConnectionsCount;
  const auto *first = std::find_if(filter.Connections, end, [&](const auto &k) { return touches(k, pin); });
  if (first == end) return -1;
  const ULONG node = first->FromNode == KSFILTER_NODE ? first->ToNode : first->FromNode;
  for (const auto *k = filter.Connections; k != end; ++k) {
    if (k == first || (k->FromNode != node && k->ToNode != node)) continue;
    return static_cast<LONG>(k->FromNode == KSFILTER_NODE ? k->FromNodePin : k->ToNodePin);
  }
  return -1;
}

using FilterDescriptorTest = DriverStartTest;

TEST_F(FilterDescriptorTest, AClientSeesOnePinPairPerStreamWithTheDevicesLimits) {
  for (const char *name : {"Larch", "Maple", "Cedar"}) {
    SCOPED_TRACE(name);
    const DeviceModel &model = Model(name);
    Plug(name);
    installed = false;  // the next model has other hardware ids
    const KSFILTER_DESCRIPTOR &filter = *Ctx().filterFactory->FilterDescriptor;
    ASSERT_EQ(filter.CategoriesCount, 4u);
    for (const GUID &category : {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE, KSCATEGORY_UacPrivate}) {
      EXPECT_TRUE(std::any_of(filter.Categories, filter.Categories + filter.CategoriesCount,
                              [&](const GUID &g) { return SameGuid(&g, category); }));
    }
    const auto *active = winsim::devices::FindClock(model, device->ActiveClock());
    ASSERT_NE(active, nullptr);
    const uint32_t lowest = *std::min_element(active->rates.begin(), active->rates.end());
    const uint32_t highest = *std::max_element(active->rates.begin(), active->rates.end());
    ASSERT_EQ(filter.PinDescriptorsCount, 2 * model.streams.size() + (model.midi ? 4u * model.midi->cables : 0u));
    ASSERT_EQ(filter.NodeDescriptorsCount, model.streams.size());
    size_t streamingPins = 0;
    for (ULONG id = 0; id < 2 * model.streams.size(); ++id) {  // the audio pins; MIDI pins follow
      const KSPIN_DESCRIPTOR &pin = filter.PinDescriptors[id].PinDescriptor;
      if (pin.Communication != KSPIN_COMMUNICATION_SINK) {
        EXPECT_EQ(pin.Communication, KSPIN_COMMUNICATION_NONE) << "pin " << id << " is a bridge";
        continue;
      }
      ++streamingPins;
      const bool render = pin.DataFlow == KSPIN_DATAFLOW_IN;
      const auto *stream = winsim::devices::FindStream(
          model, render ? winsim::devices::StreamDirection::Render : winsim::devices::StreamDirection::Capture);
      ASSERT_NE(stream, nullptr) << "pin " << id << " streams a direction the device has";
      EXPECT_TRUE(SameGuid(pin.Category, KSCATEGORY_AUDIO));
      EXPECT_TRUE(SameGuid(pin.Name, render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE));
      ASSERT_EQ(pin.DataRangesCount, 2u);
      for (ULONG r = 0; r < pin.DataRangesCount; ++r) {
        const auto *range = reinterpret_cast<const KSDATARANGE_AUDIO *>(pin.DataRanges[r]);
        EXPECT_TRUE(SameGuid(&range->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
        EXPECT_EQ(range->MaximumChannels, stream->channels);
        EXPECT_EQ(range->MinimumSampleFrequency, lowest);
        EXPECT_EQ(range->MaximumSampleFrequency, highest);
      }
      const LONG bridge = BridgeOf(filter, id);
      ASSERT_GE(bridge, 0) << "pin " << id << " reaches a bridge pin through a node";
      EXPECT_EQ(filter.PinDescriptors[bridge].PinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
      EXPECT_NE(filter.PinDescriptors[bridge].PinDescriptor.DataFlow, pin.DataFlow);
    }
    EXPECT_EQ(streamingPins, model.streams.size());
    Unplug();
  }
}

}  // namespace
}  // namespace dstest
