// The driver's filter as a user-mode client reads it with DeviceIoControl
// alone: pins, their data flow, communication, instances, categories, names
// and data ranges (with the device's channels and its clock's rate limits),
// the filter's categories in order, its nodes and connections, the
// KSMULTIPLE_ITEM size protocol, and the data intersection of the audio pins.
#include <windows.h>

#include <cstring>
#include <vector>

#include "kerneldriver/start/driver_harness.h"
#include "tests/kerneldriver/user_mode_client.h"
#include "uac2common/uac2private.h"

namespace dstest {
namespace {

using umclient::CKsHandle;
using umclient::KsReply;

bool Same(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

enum class Pin { Render, RenderBridge, Capture, CaptureBridge, MidiRender, MidiRenderBridge, MidiCapture, MidiCaptureBridge };

struct FilterCase {
  const char *model;
  ULONG renderChannels;
  ULONG captureChannels;
  ULONG minRate;
  ULONG maxRate;
  std::vector<Pin> pins;
  std::vector<GUID> nodes;
  std::vector<KSTOPOLOGY_CONNECTION> connections;
};

constexpr ULONG F = KSFILTER_NODE;

const FilterCase kFilters[] = {
    {"Maple", 2, 0, 44100, 192000, {Pin::Render, Pin::RenderBridge}, {KSNODETYPE_DAC}, {{F, 0, 0, 1}, {0, 0, F, 1}}},
    {"Alder",
     2,
     2,
     44100,
     96000,
     {Pin::Render, Pin::RenderBridge, Pin::Capture, Pin::CaptureBridge},
     {KSNODETYPE_DAC, KSNODETYPE_ADC},
     {{F, 0, 0, 1}, {0, 0, F, 1}, {F, 3, 1, 1}, {1, 0, F, 2}}},
    // One MIDI cable: its OUT endpoint's pin pair, then its IN endpoint's.
    {"Rowan",
     6,
     8,
     44100,
     192000,
     {Pin::Render, Pin::RenderBridge, Pin::Capture, Pin::CaptureBridge, Pin::MidiRender, Pin::MidiRenderBridge,
      Pin::MidiCapture, Pin::MidiCaptureBridge},
     {KSNODETYPE_DAC, KSNODETYPE_ADC},
     {{F, 0, 0, 1}, {0, 0, F, 1}, {F, 3, 1, 1}, {1, 0, F, 2}, {F, 4, F, 5}, {F, 7, F, 6}}},
};

// What a client sees of one pin.
struct PinView {
  KSPIN_DATAFLOW flow;
  KSPIN_COMMUNICATION communication;
  GUID category;
  ULONG possible;
};

PinView Expected(Pin pin) {
  switch (pin) {
    case Pin::Render: return {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, KSCATEGORY_AUDIO, 1};
    case Pin::RenderBridge: return {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, KSNODETYPE_LINE_CONNECTOR, 1};
    case Pin::Capture: return {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, KSCATEGORY_AUDIO, 1};
    case Pin::CaptureBridge: return {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, KSNODETYPE_LINE_CONNECTOR, 1};
    case Pin::MidiRender: return {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, KSCATEGORY_WDMAUD_USE_PIN_NAME, ~0u};
    case Pin::MidiRenderBridge: return {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, KSCATEGORY_AUDIO, ~0u};
    case Pin::MidiCapture: return {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, KSCATEGORY_WDMAUD_USE_PIN_NAME, ~0u};
    case Pin::MidiCaptureBridge: return {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, KSCATEGORY_AUDIO, ~0u};
  }
  return {};
}

template <class T>
T Read(const std::vector<BYTE> &bytes, size_t at) {
  T value{};
  if (at + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

KSP_PIN PinRequest(ULONG id, ULONG pinId) {
  KSP_PIN request{};
  request.Property = {KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET};
  request.PinId = pinId;
  return request;
}

// The ranges of a pin as KSPROPERTY_PIN_DATARANGES lists them (each padded
// to 8 bytes), checked against the pin's kind.
void ExpectRanges(const CKsHandle &filter, ULONG id, Pin pin, const FilterCase &c) {
  const KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES, id);
  std::vector<BYTE> answer;
  ASSERT_TRUE(filter.GetMultiple(&request, sizeof request, &answer).Ok());
  const auto header = Read<KSMULTIPLE_ITEM>(answer, 0);
  EXPECT_EQ(header.Size, answer.size());
  std::vector<size_t> offsets;
  for (size_t at = sizeof header, i = 0; i < header.Count && at + sizeof(KSDATARANGE) <= answer.size(); ++i) {
    offsets.push_back(at);
    at += (Read<KSDATARANGE>(answer, at).FormatSize + 7u) & ~size_t{7};
  }
  ASSERT_EQ(offsets.size(), header.Count);
  const bool audio = pin == Pin::Render || pin == Pin::Capture;
  if (audio) {
    ASSERT_EQ(header.Count, 2u);
    const GUID specifiers[] = {KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, KSDATAFORMAT_SPECIFIER_DSOUND};
    for (size_t i = 0; i < 2; ++i) {
      const auto range = Read<KSDATARANGE_AUDIO>(answer, offsets[i]);
      EXPECT_EQ(range.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
      EXPECT_TRUE(Same(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
      EXPECT_TRUE(Same(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
      EXPECT_TRUE(Same(range.DataRange.Specifier, specifiers[i])) << "range " << i;
      EXPECT_EQ(range.MaximumChannels, pin == Pin::Render ? c.renderChannels : c.captureChannels);
      EXPECT_EQ(range.MinimumBitsPerSample, 16u);
      EXPECT_EQ(range.MaximumBitsPerSample, 32u);
      EXPECT_EQ(range.MinimumSampleFrequency, c.minRate);
      EXPECT_EQ(range.MaximumSampleFrequency, c.maxRate);
    }
    return;
  }
  ASSERT_EQ(header.Count, 1u) << "a bridge or MIDI pin's one range";
  if (pin == Pin::MidiRender || pin == Pin::MidiCapture || pin == Pin::MidiRenderBridge ||
      pin == Pin::MidiCaptureBridge) {
    const bool bus = pin == Pin::MidiRenderBridge || pin == Pin::MidiCaptureBridge;
    const auto range = Read<KSDATARANGE>(answer, offsets[0]);
    EXPECT_EQ(range.FormatSize, bus ? sizeof(KSDATARANGE) : sizeof(KSDATARANGE_MUSIC));
    EXPECT_TRUE(Same(range.MajorFormat, KSDATAFORMAT_TYPE_MUSIC));
    EXPECT_TRUE(Same(range.SubFormat, bus ? KSDATAFORMAT_SUBTYPE_MIDI_BUS : KSDATAFORMAT_SUBTYPE_MIDI));
    return;
  }
  const auto range = Read<KSDATARANGE>(answer, offsets[0]);
  EXPECT_EQ(range.FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_TRUE(Same(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
  EXPECT_TRUE(Same(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
  EXPECT_TRUE(Same(range.Specifier, KSDATAFORMAT_SPECIFIER_NONE));
}

class UserModeFilter : public DriverStartTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(UserModeFilter, ReadsAsTheDeviceIsBuilt) {
  const FilterCase &c = GetParam();
  Plug(c.model);
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid()) << GetLastError();

  ULONG count = 0;
  KsReply reply = filter.GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count);
  ASSERT_TRUE(reply.Ok()) << reply.error;
  EXPECT_EQ(reply.bytes, sizeof(ULONG));
  ASSERT_EQ(count, c.pins.size());
  for (ULONG id = 0; id < count; ++id) {
    SCOPED_TRACE(testing::Message() << "pin " << id);
    const PinView want = Expected(c.pins[id]);
    ULONG flow = 0, communication = 0, necessary = 99;
    GUID category{};
    KSPIN_CINSTANCES instances{};
    EXPECT_TRUE(filter.GetPinProperty(id, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow).Ok());
    EXPECT_EQ(flow, static_cast<ULONG>(want.flow));
    EXPECT_TRUE(filter.GetPinProperty(id, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication).Ok());
    EXPECT_EQ(communication, static_cast<ULONG>(want.communication));
    EXPECT_TRUE(filter.GetPinProperty(id, KSPROPERTY_PIN_CATEGORY, &category, sizeof category).Ok());
    EXPECT_TRUE(Same(category, want.category));
    EXPECT_TRUE(filter.GetPinProperty(id, KSPROPERTY_PIN_CINSTANCES, &instances, sizeof instances).Ok());
    EXPECT_EQ(instances.PossibleCount, want.possible);
    EXPECT_EQ(instances.CurrentCount, 0u);
    EXPECT_TRUE(filter.GetPinProperty(id, KSPROPERTY_PIN_NECESSARYINSTANCES, &necessary, sizeof necessary).Ok());
    EXPECT_EQ(necessary, 0u);
    WCHAR name[32];
    reply = filter.GetPinProperty(id, KSPROPERTY_PIN_NAME, name, sizeof name);
    EXPECT_TRUE(reply.Ok()) << reply.error;
    EXPECT_EQ(reply.bytes, 0u) << "audio pins have an empty name";
    ExpectRanges(filter, id, c.pins[id], c);
  }
  ULONG beyond = 0;
  EXPECT_EQ(filter.GetPinProperty(count, KSPROPERTY_PIN_DATAFLOW, &beyond, sizeof beyond).error,
            ERROR_INVALID_PARAMETER);

  std::vector<BYTE> answer;
  KSPROPERTY topology{KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, KSPROPERTY_TYPE_GET};
  ASSERT_TRUE(filter.GetMultiple(&topology, sizeof topology, &answer).Ok());
  std::vector<GUID> categories = umclient::Items<GUID>(answer);
  const GUID expected[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE, KSCATEGORY_UacPrivate};
  ASSERT_EQ(categories.size(), 4u) << "render and capture are declared whatever the device streams";
  for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(Same(categories[i], expected[i])) << "category " << i;

  topology.Id = KSPROPERTY_TOPOLOGY_NODES;
  ASSERT_TRUE(filter.GetMultiple(&topology, sizeof topology, &answer).Ok());
  std::vector<GUID> nodes = umclient::Items<GUID>(answer);
  ASSERT_EQ(nodes.size(), c.nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) EXPECT_TRUE(Same(nodes[i], c.nodes[i])) << "node " << i;

  topology.Id = KSPROPERTY_TOPOLOGY_CONNECTIONS;
  ASSERT_TRUE(filter.GetMultiple(&topology, sizeof topology, &answer).Ok());
  std::vector<KSTOPOLOGY_CONNECTION> connections = umclient::Items<KSTOPOLOGY_CONNECTION>(answer);
  ASSERT_EQ(connections.size(), c.connections.size());
  for (size_t i = 0; i < connections.size(); ++i) {
    const KSTOPOLOGY_CONNECTION &a = connections[i], &b = c.connections[i];
    EXPECT_EQ(std::vector<ULONG>({a.FromNode, a.FromNodePin, a.ToNode, a.ToNodePin}),
              std::vector<ULONG>({b.FromNode, b.FromNodePin, b.ToNode, b.ToNodePin}))
        << "connection " << i;
  }
  EXPECT_TRUE(filter.Close());
}

INSTANTIATE_TEST_SUITE_P(Catalog, UserModeFilter, ::testing::ValuesIn(kFilters),
                         [](const auto &info) { return std::string(info.param.model); });

using UserModeSizes = DriverStartTest;

// Every KSMULTIPLE_ITEM answer follows one protocol: no buffer asks for the
// size, the header alone gets size and count, anything else short is too small.
TEST_F(UserModeSizes, MultipleItemAnswersFollowTheSizeProtocol) {
  Plug("Rowan");
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid());
  struct Query {
    const char *name;
    KSP_PIN request;
    ULONG requestSize;
    ULONG needed;
    ULONG count;
  };
  auto topology = [](ULONG id) { return KSP_PIN{{KSPROPSETID_Topology, id, KSPROPERTY_TYPE_GET}, 0, 0}; };
  const Query queries[] = {
      {"categories", topology(KSPROPERTY_TOPOLOGY_CATEGORIES), sizeof(KSPROPERTY), 8 + 4 * 16, 4},
      {"nodes", topology(KSPROPERTY_TOPOLOGY_NODES), sizeof(KSPROPERTY), 8 + 2 * 16, 2},
      {"connections", topology(KSPROPERTY_TOPOLOGY_CONNECTIONS), sizeof(KSPROPERTY), 8 + 6 * 16, 6},
      {"audio ranges", PinRequest(KSPROPERTY_PIN_DATARANGES, 0), sizeof(KSP_PIN), 8 + 2 * 88, 2},
      {"bridge ranges", PinRequest(KSPROPERTY_PIN_DATARANGES, 3), sizeof(KSP_PIN), 8 + 88, 1},
      {"interfaces", PinRequest(KSPROPERTY_PIN_INTERFACES, 0), sizeof(KSP_PIN), 8 + sizeof(KSPIN_INTERFACE), 1},
      {"mediums", PinRequest(KSPROPERTY_PIN_MEDIUMS, 1), sizeof(KSP_PIN), 8 + sizeof(KSPIN_MEDIUM), 1},
  };
  for (const Query &q : queries) {
    SCOPED_TRACE(q.name);
    std::vector<BYTE> buffer(q.needed + 8, 0xCD);
    KsReply reply = filter.Ioctl(IOCTL_KS_PROPERTY, &q.request, q.requestSize, nullptr, 0);
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(reply.bytes, q.needed) << "the size needed comes back with ERROR_MORE_DATA";
    reply = filter.Ioctl(IOCTL_KS_PROPERTY, &q.request, q.requestSize, buffer.data(), sizeof(KSMULTIPLE_ITEM));
    EXPECT_TRUE(reply.Ok());
    EXPECT_EQ(reply.bytes, sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(Read<KSMULTIPLE_ITEM>(buffer, 0).Size, q.needed);
    EXPECT_EQ(Read<KSMULTIPLE_ITEM>(buffer, 0).Count, q.count);
    reply = filter.Ioctl(IOCTL_KS_PROPERTY, &q.request, q.requestSize, buffer.data(), q.needed - 1);
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(reply.bytes, 0u);
    reply = filter.Ioctl(IOCTL_KS_PROPERTY, &q.request, q.requestSize, buffer.data(), q.needed + 8);
    EXPECT_TRUE(reply.Ok());
    EXPECT_EQ(reply.bytes, q.needed);
    EXPECT_EQ(buffer[q.needed], 0xCD) << "nothing written past the answer";
  }
  ULONG pins = 0;
  EXPECT_EQ(filter.GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, 2).error,
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
      << "a fixed-size value in a short buffer";
}

// Intersection from user mode: a KSP_PIN followed by the client's ranges in
// a KSMULTIPLE_ITEM, against Rowan (6 render, 8 capture channels) at 48 kHz.
struct IntersectCase {
  const char *name;
  ULONG pinId;
  GUID specifier;
  GUID major;
  ULONG maxChannels, minBits, maxBits, minRate, maxRate;
  ULONG outSize;  // 0: none (the size query)
  DWORD error;
  DWORD bytes;
  ULONG channels, mask, bits, validBits;
  bool leadingMismatch = false;  // a first client range that cannot match
};

constexpr GUID kWave = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
constexpr GUID kDsound = KSDATAFORMAT_SPECIFIER_DSOUND;
constexpr GUID kAudio = KSDATAFORMAT_TYPE_AUDIO;

const IntersectCase kIntersections[] = {
    {"WideClientGetsThePinsChannelsIn32BitContainers", 0, kWave, kAudio, 8, 16, 32, 8000, 96000, 200, ERROR_SUCCESS,
     104, 6, 0, 32, 24},
    {"MonoSixteenBitClient", 0, kWave, kAudio, 1, 16, 16, 8000, 96000, 200, ERROR_SUCCESS, 104, 1, 4, 16, 16},
    {"StereoCaptureClientUpTo24BitsGets16", 2, kWave, kAudio, 2, 16, 24, 44100, 48000, 200, ERROR_SUCCESS, 104, 2, 3,
     16, 16},
    {"DirectSoundClientGetsTheLongerAnswer", 2, kDsound, kAudio, 8, 16, 32, 8000, 192000, 200, ERROR_SUCCESS, 112, 8,
     0, 32, 24},
    {"ASecondClientRangeMatchesWhenTheFirstCannot", 0, kWave, kAudio, 2, 16, 32, 8000, 48000, 200, ERROR_SUCCESS, 104,
     2, 3, 32, 24, true},
    {"ARateTheClientDoesNotAllowIsNoMatch", 0, kWave, kAudio, 2, 16, 32, 8000, 44100, 200, ERROR_NO_MATCH, 0},
    {"NoBufferAsksTheSize", 0, kWave, kAudio, 2, 16, 32, 8000, 96000, 0, ERROR_MORE_DATA, 104},
    {"NoBufferAsksTheDirectSoundSize", 0, kDsound, kAudio, 2, 16, 32, 8000, 96000, 0, ERROR_MORE_DATA, 112},
    {"AShortBufferIsTooSmall", 0, kWave, kAudio, 2, 16, 32, 8000, 96000, 64, ERROR_INSUFFICIENT_BUFFER, 0},
    {"AWildcardMajorFormatIsNoPcmRequest", 0, kWave, GUID_NULL, 2, 16, 32, 8000, 96000, 200, ERROR_INVALID_PARAMETER,
     0},
    {"AnotherMajorFormatMatchesNoRange", 0, kWave, KSDATAFORMAT_TYPE_MUSIC, 2, 16, 32, 8000, 96000, 200,
     ERROR_NO_MATCH, 0},
};

KSDATARANGE_AUDIO ClientRange(const IntersectCase &c) {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof range;
  range.DataRange.MajorFormat = c.major;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = c.specifier;
  range.MaximumChannels = c.maxChannels;
  range.MinimumBitsPerSample = c.minBits;
  range.MaximumBitsPerSample = c.maxBits;
  range.MinimumSampleFrequency = c.minRate;
  range.MaximumSampleFrequency = c.maxRate;
  return range;
}

class UserModeIntersection : public DriverStartTest, public ::testing::WithParamInterface<IntersectCase> {};

TEST_P(UserModeIntersection, ProposesAFormatTheDeviceRuns) {
  const IntersectCase &c = GetParam();
  Plug("Rowan");
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid());
  std::vector<KSDATARANGE_AUDIO> ranges;
  if (c.leadingMismatch) {
    KSDATARANGE_AUDIO high = ClientRange(c);
    high.MinimumSampleFrequency = 96000;
    high.MaximumSampleFrequency = 192000;
    ranges.push_back(high);
  }
  ranges.push_back(ClientRange(c));
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM list;
    KSDATARANGE_AUDIO ranges[2];
  } request{};
  static_assert(sizeof(KSDATARANGE_AUDIO) % 8 == 0, "client ranges follow each other unpadded");
  request.pin = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION, c.pinId);
  request.list.Count = static_cast<ULONG>(ranges.size());
  request.list.Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE_AUDIO));
  std::memcpy(request.ranges, ranges.data(), ranges.size() * sizeof(KSDATARANGE_AUDIO));
  const ULONG requestSize = static_cast<ULONG>(sizeof(KSP_PIN) + request.list.Size);
  std::vector<BYTE> out(c.outSize);
  KsReply reply = filter.Ioctl(IOCTL_KS_PROPERTY, &request, requestSize, out.empty() ? nullptr : out.data(), c.outSize);
  EXPECT_EQ(reply.error, c.error);
  EXPECT_EQ(reply.bytes, c.bytes);
  if (c.error != ERROR_SUCCESS) return;
  const auto format = Read<KSDATAFORMAT>(out, 0);
  EXPECT_EQ(format.FormatSize, c.bytes);
  EXPECT_TRUE(Same(format.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
  EXPECT_TRUE(Same(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_TRUE(Same(format.Specifier, c.specifier));
  const size_t waveAt = sizeof(KSDATAFORMAT) + (Same(c.specifier, kDsound) ? 2 * sizeof(ULONG) : 0);
  const auto wave = Read<WAVEFORMATEXTENSIBLE>(out, waveAt);
  EXPECT_EQ(wave.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(wave.Format.nChannels, c.channels);
  EXPECT_EQ(wave.Format.nSamplesPerSec, 48000u) << "the rate the device's clock runs at";
  EXPECT_EQ(wave.Format.wBitsPerSample, c.bits);
  EXPECT_EQ(wave.Format.nBlockAlign, c.channels * c.bits / 8);
  EXPECT_EQ(wave.Format.nAvgBytesPerSec, 48000u * c.channels * c.bits / 8);
  EXPECT_EQ(wave.Samples.wValidBitsPerSample, c.validBits);
  EXPECT_EQ(wave.dwChannelMask, c.mask);
  EXPECT_TRUE(Same(wave.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
}

INSTANTIATE_TEST_SUITE_P(Rowan, UserModeIntersection, ::testing::ValuesIn(kIntersections),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dstest
