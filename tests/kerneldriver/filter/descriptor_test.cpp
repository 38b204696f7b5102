// The filter descriptor as models of the catalog build it: pin ids in the
// order of the additions, each pin's data flow, communication, category,
// name, ranges and handlers, the nodes and connections that tie streaming
// pins to bridge pins, the filter's own dispatch and automation, and the
// 32-entry tables that refuse an addition that does not fit whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "kerneldriver/device/device.h"
#include "kerneldriver/ks/audio_intersection.h"
#include "kerneldriver/ks/filter_automation.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "winsim/devices/catalog.h"
#include "winsim/machine.h"

namespace {

using winsim::devices::DeviceModel;
using winsim::devices::StreamDirection;

bool Same(const GUID *a, const GUID &b) { return a != nullptr && std::memcmp(a, &b, sizeof(GUID)) == 0; }

enum class Kind { RenderStream, RenderBridge, CaptureStream, CaptureBridge, MidiOut, MidiOutBridge, MidiIn, MidiInBridge };

struct Connection {
  ULONG fromNode, fromPin, toNode, toPin;
  bool operator==(const Connection &) const = default;
};

// The descriptor as post start fills it for a model: its streams in
// interface order, then the MIDI cables of the OUT endpoint and of the IN
// endpoint.
void FillFromModel(DynamicFilterDescriptor *d, const DeviceModel &model) {
  const auto &rates = model.clocks.front().rates;
  FilterDescriptorSetRateLimits(d, *std::min_element(rates.begin(), rates.end()),
                                *std::max_element(rates.begin(), rates.end()));
  for (const auto &stream : model.streams) {
    const AudioDirection direction =
        stream.direction == StreamDirection::Render ? AudioDirection::Render : AudioDirection::Capture;
    ASSERT_TRUE(FilterDescriptorAddAudioDirection(d, direction));
    FilterDescriptorSetChannels(d, direction, stream.channels);
  }
  if (!model.midi) return;
  for (MidiEndpointDirection endpoint : {MidiEndpointDirection::Out, MidiEndpointDirection::In}) {
    for (uint8_t cable = 0; cable < model.midi->cables; ++cable) {
      const ULONG next = d->filter.PinDescriptorsCount;
      EXPECT_EQ(FilterDescriptorAddMidiCable(d, endpoint), next) << "the cable's streaming pin id";
    }
  }
}

struct ShapeCase {
  const char *model;
  std::vector<Kind> pins;
};

class DescriptorShape : public ::testing::TestWithParam<ShapeCase> {
 protected:
  void TearDown() override { FilterDescriptorFree(descriptor); }
  winsim::Machine machine;
  DynamicFilterDescriptor *descriptor = nullptr;
};

void ExpectAudioRanges(const KSPIN_DESCRIPTOR &pin, const DeviceModel &model, StreamDirection direction) {
  const auto *stream = winsim::devices::FindStream(model, direction);
  ASSERT_NE(stream, nullptr);
  const auto &rates = model.clocks.front().rates;
  ASSERT_EQ(pin.DataRangesCount, 2u);
  const GUID *specifiers[] = {&KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, &KSDATAFORMAT_SPECIFIER_DSOUND};
  for (ULONG i = 0; i < 2; ++i) {
    const auto *r = reinterpret_cast<const KSDATARANGE_AUDIO *>(pin.DataRanges[i]);
    EXPECT_EQ(r->DataRange.FormatSize, 88u);
    EXPECT_TRUE(Same(&r->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(Same(&r->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(Same(&r->DataRange.Specifier, *specifiers[i]));
    EXPECT_EQ(r->MaximumChannels, stream->channels);
    EXPECT_EQ(r->MinimumBitsPerSample, 16u);
    EXPECT_EQ(r->MaximumBitsPerSample, 32u);
    EXPECT_EQ(r->MinimumSampleFrequency, *std::min_element(rates.begin(), rates.end()));
    EXPECT_EQ(r->MaximumSampleFrequency, *std::max_element(rates.begin(), rates.end()));
  }
}

void ExpectPin(const KSPIN_DESCRIPTOR_EX &pin, Kind kind, const DeviceModel &model) {
  const KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  const bool render = kind == Kind::RenderStream || kind == Kind::RenderBridge;
  switch (kind) {
    case Kind::RenderStream:
    case Kind::CaptureStream:
      EXPECT_EQ(p.DataFlow, render ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
      EXPECT_EQ(p.Communication, KSPIN_COMMUNICATION_SINK);
      EXPECT_TRUE(Same(p.Category, KSCATEGORY_AUDIO));
      EXPECT_TRUE(Same(p.Name, render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE));
      EXPECT_EQ(pin.Flags, static_cast<ULONG>(KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                                              KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FIXED_FORMAT));
      EXPECT_EQ(pin.InstancesPossible, 1u);
      EXPECT_EQ(pin.InstancesNecessary, 0u);
      EXPECT_EQ(pin.IntersectHandler, &AudioIntersectHandler);
      ExpectAudioRanges(p, model, render ? StreamDirection::Render : StreamDirection::Capture);
      break;
    case Kind::RenderBridge:
    case Kind::CaptureBridge: {
      EXPECT_EQ(p.DataFlow, render ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
      EXPECT_EQ(p.Communication, KSPIN_COMMUNICATION_NONE);
      EXPECT_TRUE(Same(p.Category, KSNODETYPE_LINE_CONNECTOR));
      EXPECT_TRUE(Same(p.Name, KSNODETYPE_LINE_CONNECTOR));
      EXPECT_EQ(pin.InstancesPossible, 1u);
      EXPECT_EQ(pin.IntersectHandler, nullptr);
      ASSERT_EQ(p.DataRangesCount, 1u);
      EXPECT_EQ(p.DataRanges[0]->FormatSize, 88u);
      EXPECT_TRUE(Same(&p.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
      EXPECT_TRUE(Same(&p.DataRanges[0]->Specifier, KSDATAFORMAT_SPECIFIER_NONE));
      break;
    }
    case Kind::MidiOut:
    case Kind::MidiIn: {
      EXPECT_EQ(p.DataFlow, kind == Kind::MidiOut ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
      EXPECT_EQ(p.Communication, KSPIN_COMMUNICATION_SINK);
      EXPECT_TRUE(Same(p.Category, KSCATEGORY_WDMAUD_USE_PIN_NAME));
      EXPECT_TRUE(Same(p.Name, KSAUDFNAME_MIDI));
      EXPECT_EQ(pin.Flags, static_cast<ULONG>(KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FIXED_FORMAT));
      EXPECT_EQ(pin.InstancesPossible, KSINSTANCE_INDETERMINATE);
      EXPECT_EQ(pin.AutomationTable, nullptr);
      EXPECT_EQ(pin.IntersectHandler, nullptr);
      ASSERT_EQ(p.DataRangesCount, 1u);
      const auto *r = reinterpret_cast<const KSDATARANGE_MUSIC *>(p.DataRanges[0]);
      EXPECT_EQ(r->DataRange.FormatSize, 96u);
      EXPECT_TRUE(Same(&r->DataRange.MajorFormat, KSDATAFORMAT_TYPE_MUSIC));
      EXPECT_TRUE(Same(&r->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_MIDI));
      EXPECT_TRUE(Same(&r->DataRange.Specifier, KSDATAFORMAT_SPECIFIER_NONE));
      EXPECT_TRUE(Same(&r->Technology, KSMUSIC_TECHNOLOGY_PORT));
      EXPECT_EQ(r->Channels, 0u);
      EXPECT_EQ(r->Notes, 0u);
      EXPECT_EQ(r->ChannelMask, 0xFFFFu);
      break;
    }
    case Kind::MidiOutBridge:
    case Kind::MidiInBridge:
      EXPECT_EQ(p.DataFlow, kind == Kind::MidiOutBridge ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
      EXPECT_EQ(p.Communication, KSPIN_COMMUNICATION_NONE);
      EXPECT_TRUE(Same(p.Category, KSCATEGORY_AUDIO));
      EXPECT_TRUE(Same(p.Name, KSAUDFNAME_MIDI));
      EXPECT_EQ(pin.InstancesPossible, KSINSTANCE_INDETERMINATE);
      ASSERT_EQ(p.DataRangesCount, 1u);
      EXPECT_EQ(p.DataRanges[0]->FormatSize, 64u);
      EXPECT_TRUE(Same(&p.DataRanges[0]->MajorFormat, KSDATAFORMAT_TYPE_MUSIC));
      EXPECT_TRUE(Same(&p.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_MIDI_BUS));
      break;
  }
}

// Render: streaming pin -> converter -> bridge; capture the other way; a MIDI
// cable joins its two pins directly, from the bridge for an IN endpoint.
std::vector<Connection> ExpectedConnections(const std::vector<Kind> &pins) {
  std::vector<Connection> connections;
  ULONG node = 0;
  for (ULONG p = 0; p < pins.size(); ++p) {
    switch (pins[p]) {
      case Kind::RenderStream:
        connections.push_back({KSFILTER_NODE, p, node, 1});
        connections.push_back({node++, 0, KSFILTER_NODE, p + 1});
        break;
      case Kind::CaptureStream:
        connections.push_back({KSFILTER_NODE, p + 1, node, 1});
        connections.push_back({node++, 0, KSFILTER_NODE, p});
        break;
      case Kind::MidiOut: connections.push_back({KSFILTER_NODE, p, KSFILTER_NODE, p + 1}); break;
      case Kind::MidiIn: connections.push_back({KSFILTER_NODE, p + 1, KSFILTER_NODE, p}); break;
      default: break;
    }
  }
  return connections;
}

TEST_P(DescriptorShape, FollowsTheModel) {
  const ShapeCase &c = GetParam();
  const DeviceModel *model = winsim::devices::FindModel(c.model);
  ASSERT_NE(model, nullptr);
  descriptor = FilterDescriptorCreate();
  ASSERT_NE(descriptor, nullptr);
  FillFromModel(descriptor, *model);
  const KSFILTER_DESCRIPTOR &f = descriptor->filter;

  EXPECT_EQ(f.Version, KSFILTER_DESCRIPTOR_VERSION);
  EXPECT_EQ(f.Flags, 0u);
  EXPECT_EQ(f.ReferenceGuid, nullptr);
  EXPECT_EQ(f.ComponentId, nullptr);
  EXPECT_EQ(f.PinDescriptorSize, sizeof(KSPIN_DESCRIPTOR_EX));
  EXPECT_EQ(f.NodeDescriptorSize, sizeof(KSNODE_DESCRIPTOR));
  ASSERT_EQ(f.CategoriesCount, 4u) << "capture and render are declared whatever the device streams";
  const GUID *categories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE, &KSCATEGORY_UacPrivate};
  for (ULONG i = 0; i < 4; ++i) EXPECT_TRUE(Same(&f.Categories[i], *categories[i])) << "category " << i;

  ASSERT_EQ(f.PinDescriptorsCount, c.pins.size());
  for (ULONG id = 0; id < c.pins.size(); ++id) {
    SCOPED_TRACE(id);
    ExpectPin(f.PinDescriptors[id], c.pins[id], *model);
  }
  std::vector<const GUID *> nodeTypes;
  for (Kind kind : c.pins) {
    if (kind == Kind::RenderStream) nodeTypes.push_back(&KSNODETYPE_DAC);
    if (kind == Kind::CaptureStream) nodeTypes.push_back(&KSNODETYPE_ADC);
  }
  ASSERT_EQ(f.NodeDescriptorsCount, nodeTypes.size());
  for (ULONG n = 0; n < nodeTypes.size(); ++n) {
    EXPECT_TRUE(Same(f.NodeDescriptors[n].Type, *nodeTypes[n])) << "node " << n;
    EXPECT_EQ(f.NodeDescriptors[n].Name, nullptr);
    EXPECT_EQ(f.NodeDescriptors[n].AutomationTable, nullptr);
  }
  std::vector<Connection> connections;
  for (ULONG i = 0; i < f.ConnectionsCount; ++i) {
    const KSTOPOLOGY_CONNECTION &k = f.Connections[i];
    connections.push_back({k.FromNode, k.FromNodePin, k.ToNode, k.ToNodePin});
  }
  EXPECT_EQ(connections, ExpectedConnections(c.pins));
}

using K = Kind;
INSTANTIATE_TEST_SUITE_P(
    Catalog, DescriptorShape,
    ::testing::Values(
        ShapeCase{"Maple", {K::RenderStream, K::RenderBridge}},
        ShapeCase{"Cedar", {K::CaptureStream, K::CaptureBridge}},
        ShapeCase{"Hazel", {K::RenderStream, K::RenderBridge, K::CaptureStream, K::CaptureBridge}},
        ShapeCase{"Rowan",
                  {K::RenderStream, K::RenderBridge, K::CaptureStream, K::CaptureBridge, K::MidiOut, K::MidiOutBridge,
                   K::MidiIn, K::MidiInBridge}},
        ShapeCase{"Larch",
                  {K::RenderStream, K::RenderBridge, K::CaptureStream, K::CaptureBridge, K::MidiOut, K::MidiOutBridge,
                   K::MidiOut, K::MidiOutBridge, K::MidiIn, K::MidiInBridge, K::MidiIn, K::MidiInBridge}}),
    [](const auto &info) { return std::string(info.param.model); });

class DescriptorTables : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptor = FilterDescriptorCreate();
    ASSERT_NE(descriptor, nullptr);
  }
  void TearDown() override { FilterDescriptorFree(descriptor); }
  winsim::Machine machine;
  DynamicFilterDescriptor *descriptor = nullptr;
};

TEST_F(DescriptorTables, TheFilterCarriesItsCreateDispatchAndAutomation) {
  const KSFILTER_DESCRIPTOR &f = descriptor->filter;
  ASSERT_NE(f.Dispatch, nullptr);
  EXPECT_EQ(f.Dispatch->Create, &FilterCreate);
  const KSAUTOMATION_TABLE *table = f.AutomationTable;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->PropertyItemSize, sizeof(KSPROPERTY_ITEM));
  EXPECT_EQ(table->EventItemSize, sizeof(KSEVENT_ITEM));
  const KSPROPERTY_ITEM *pinName = nullptr;
  for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET &set = table->PropertySets[s];
    if (!Same(set.Set, KSPROPSETID_Pin)) continue;
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      if (set.PropertyItem[i].PropertyId == KSPROPERTY_PIN_NAME) pinName = &set.PropertyItem[i];
    }
  }
  ASSERT_NE(pinName, nullptr);
  EXPECT_EQ(pinName->GetPropertyHandler, &FilterPinNameHandler);
  EXPECT_EQ(pinName->MinProperty, sizeof(KSP_PIN));
  EXPECT_EQ(pinName->SetPropertyHandler, nullptr);
  ASSERT_EQ(table->EventSetsCount, 2u);
  const GUID *eventSets[] = {&KSEVENTSETID_UacPrivate, &KSEVENTSETID_UacPrivate2};
  for (ULONG s = 0; s < 2; ++s) {
    const KSEVENT_SET &set = table->EventSets[s];
    EXPECT_TRUE(Same(set.Set, *eventSets[s]));
    ASSERT_EQ(set.EventsCount, 4u);
    for (ULONG id = 0; id < 4; ++id) {
      EXPECT_EQ(set.EventItem[id].EventId, id);
      EXPECT_EQ(set.EventItem[id].DataInput, sizeof(KSEVENTDATA));
    }
  }
}

// Sixteen pin pairs fill the pin table; what comes after is refused whole
// and leaves every table as it was.
TEST_F(DescriptorTables, AnAdditionThatDoesNotFitIsNotMade) {
  struct Mix {
    const char *name;
    ULONG audioPairs;  // added first, alternating render and capture
  };
  for (Mix mix : {Mix{"audio only", 16}, Mix{"MIDI only", 0}, Mix{"audio then MIDI", 5}}) {
    SCOPED_TRACE(mix.name);
    FilterDescriptorReset(descriptor);
    for (ULONG i = 0; i < mix.audioPairs; ++i) {
      ASSERT_TRUE(FilterDescriptorAddAudioDirection(descriptor, i % 2 ? AudioDirection::Capture : AudioDirection::Render));
    }
    for (ULONG i = mix.audioPairs; i < 16; ++i) {
      ASSERT_EQ(FilterDescriptorAddMidiCable(descriptor, MidiEndpointDirection::In), 2 * i);
    }
    const KSFILTER_DESCRIPTOR before = descriptor->filter;
    ASSERT_EQ(before.PinDescriptorsCount, 32u);
    EXPECT_FALSE(FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render));
    EXPECT_EQ(FilterDescriptorAddMidiCable(descriptor, MidiEndpointDirection::Out), kNoFilterPin);
    EXPECT_EQ(descriptor->filter.PinDescriptorsCount, before.PinDescriptorsCount);
    EXPECT_EQ(descriptor->filter.NodeDescriptorsCount, before.NodeDescriptorsCount);
    EXPECT_EQ(descriptor->filter.ConnectionsCount, before.ConnectionsCount);
    EXPECT_EQ(descriptor->captureRanges[0].DataRange.FormatSize, 88u) << "the storage behind the tables is intact";
  }
}

TEST_F(DescriptorTables, ChannelsAndRatesGoToTheirRangesOnly) {
  FilterDescriptorSetChannels(descriptor, AudioDirection::Capture, 18);
  FilterDescriptorSetRateLimits(descriptor, 32000, 384000);
  for (const KSDATARANGE_AUDIO &r : descriptor->captureRanges) EXPECT_EQ(r.MaximumChannels, 18u);
  for (const KSDATARANGE_AUDIO &r : descriptor->renderRanges) EXPECT_EQ(r.MaximumChannels, 2u);
  for (const auto *ranges : {descriptor->captureRanges, descriptor->renderRanges}) {
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(ranges[i].MinimumSampleFrequency, 32000u);
      EXPECT_EQ(ranges[i].MaximumSampleFrequency, 384000u);
    }
  }
  EXPECT_EQ(descriptor->bridgeRange.MaximumChannels, 0u);
}

TEST_F(DescriptorTables, EveryPinOfTheFilterHasAnEmptyNameAndNoOtherIdIsAnswered) {
  ASSERT_TRUE(FilterDescriptorAddAudioDirection(descriptor, AudioDirection::Render));
  ASSERT_EQ(FilterDescriptorAddMidiCable(descriptor, MidiEndpointDirection::In), 2u);
  auto device = std::make_unique<UsbAudioDevice>();
  device->filterDescriptor = descriptor;
  device->midiPinCount[1] = 1;
  UCHAR name[32];
  std::memset(name, 0xCD, sizeof name);
  for (ULONG id = 0; id < 4; ++id) {
    ULONG returned = 99;
    EXPECT_EQ(FilterPinName(device.get(), id, name, sizeof name, &returned), STATUS_SUCCESS) << id;
    EXPECT_EQ(returned, 0u);
  }
  for (ULONG id : {4u, 31u, 32u, 0xFFFFFFFFu}) {
    ULONG returned = 99;
    EXPECT_EQ(FilterPinName(device.get(), id, name, sizeof name, &returned), STATUS_INVALID_PARAMETER) << id;
    EXPECT_EQ(returned, 0u);
  }
  EXPECT_EQ(name[0], 0xCD);
}

}  // namespace
