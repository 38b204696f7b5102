#include "pin_fixture.h"

#include <cstring>

#include "kerneldriver/ks/filter_descriptor.h"
#include "winsim/user/device_paths.h"

namespace pintest {

int16_t Ramp16(uint64_t frame, uint32_t channel, uint32_t channels) {
  const int64_t value = static_cast<int64_t>((frame * channels + channel) % 65000) - 32500;
  return static_cast<int16_t>(value >= 0 ? value + 1 : value);
}

int32_t Ramp32(uint64_t frame, uint32_t channel, uint32_t channels) {
  uint32_t value = static_cast<uint32_t>(((frame * channels + channel) * 4099 + 1) % (1u << 24));
  if (value == 0 || value == 0x800000) ++value;  // neither silence nor -2^31, which mixing lifts to -2^31 + 1
  return static_cast<int32_t>(value << 8);
}

int32_t DeviceWord(const WaveShape &shape, uint64_t frame, uint32_t channel) {
  if (shape.bits == 16) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(Ramp16(frame, channel, shape.channels)))
                                << 16);
  }
  return Ramp32(frame, channel, shape.channels);
}

int32_t AtDeviceResolution(int32_t value, uint32_t subslot) {
  if (subslot >= 4) return value;
  return static_cast<int32_t>(static_cast<uint32_t>(value) & ~((1u << (8 * (4 - subslot))) - 1));
}

void PinTest::TearDown() {
  clients.clear();
  if (bus) bus->isoObserver = nullptr;
  DriverStartTest::TearDown();
}

void PinTest::PlugLoopback(const char *model) { PlugLoopback(dstest::Build(dstest::Model(model))); }

void PinTest::PlugLoopback(winsim::devices::DeviceDefinition definition) {
  Plug(std::move(definition));
  ASSERT_NE(Context(), nullptr);
  for (uint32_t c = 0; c < 32; ++c) device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
}

std::string PinTest::FilterPath() {
  for (const winsim::DeviceInterfaceInfo &info : machine.Pnp().Interfaces(nullptr, true)) {
    if (info.pdo == pdo) return winsim::UserInterfacePath(info);
  }
  return {};
}

ULONG PinTest::StreamingPinId(bool capture) {
  const DynamicFilterDescriptor &d = *Ctx().filterDescriptor;
  for (ULONG id = 0; id < d.filter.PinDescriptorsCount; ++id) {
    const KSPIN_DESCRIPTOR &pin = d.pins[id].PinDescriptor;
    if (pin.Communication != KSPIN_COMMUNICATION_SINK || pin.DataRangesCount == 0) continue;
    if (pin.DataRanges[0]->MajorFormat != KSDATAFORMAT_TYPE_AUDIO) continue;
    if ((pin.DataFlow == KSPIN_DATAFLOW_OUT) == capture) return id;
  }
  ADD_FAILURE() << "no " << (capture ? "capture" : "render") << " streaming pin";
  return 0;
}

CPinClient &PinTest::NewClient() {
  clients.push_back(std::make_unique<CPinClient>());
  CPinClient &client = *clients.back();
  EXPECT_TRUE(client.OpenFilter(FilterPath())) << GetLastError();
  return client;
}

CPinClient &PinTest::OpenClient(bool capture, const WaveShape &shape) {
  CPinClient &client = NewClient();
  EXPECT_EQ(client.CreatePin(StreamingPinId(capture), shape), DWORD(ERROR_SUCCESS));
  return client;
}

void PinTest::RecordPlayed() {
  const UsbAudioStream *render = Ctx().renderStream;
  ASSERT_NE(render, nullptr);
  const uint8_t endpoint = render->dataEndpoint;
  m_playedChannels = render->channels;
  m_playedSubslot = render->subslot;
  ASSERT_GE(m_playedSubslot, 1u);
  ASSERT_LE(m_playedSubslot, 4u);
  const uint32_t subslot = m_playedSubslot;
  bus->isoObserver = [this, endpoint, subslot](uint8_t ep, uint64_t, const uint8_t *data, uint32_t length) {
    if (ep != endpoint) return;
    std::lock_guard guard(m_playedLock);
    for (uint32_t at = 0; at + subslot <= length; at += subslot) {
      uint32_t word = 0;
      for (uint32_t b = 0; b < subslot; ++b) word |= static_cast<uint32_t>(data[at + b]) << (8 * (4 - subslot + b));
      m_played.push_back(static_cast<int32_t>(word));
    }
  };
}

std::vector<int32_t> PinTest::Played(uint32_t *channels, uint32_t *subslot) {
  std::lock_guard guard(m_playedLock);
  *channels = m_playedChannels;
  if (subslot != nullptr) *subslot = m_playedSubslot;
  return m_played;
}

namespace {

// The longest URB the tests use, in ms.
constexpr uint32_t kMaxIsoUrbMs = 5;

void SendOne(Flow &flow, uint32_t frames) {
  const uint32_t block = flow.client->Rule().BlockAlign();
  if (flow.capture) {
    flow.client->Read(frames * block);
    return;
  }
  std::vector<uint8_t> data(static_cast<size_t>(frames) * block);
  for (uint32_t f = 0; f < frames; ++f) flow.generate(flow.framesSent + f, data.data() + f * block);
  flow.framesSent += frames;
  flow.client->Write(std::move(data));
}

void Collect(Flow &flow, const CStreamRequest &done) {
  if (done.error != ERROR_SUCCESS) flow.failed = true;
  if (!flow.capture) return;
  flow.flags.push_back(done.header.OptionsFlags);
  flow.captured.insert(flow.captured.end(), done.data.begin(), done.data.begin() + done.header.DataUsed);
}

}  // namespace

void PinTest::Pump(std::vector<Flow *> flows, uint32_t milliseconds, uint32_t frameMs, uint32_t depth,
                   const std::function<void(uint32_t round)> &each) {
  for (Flow *flow : flows) {
    const uint32_t frames = flow->client->Rule().rate * frameMs / 1000;
    for (uint32_t i = 0; i < depth; ++i) SendOne(*flow, frames);
  }
  const uint32_t rounds = milliseconds / frameMs;
  for (uint32_t round = 0; round < rounds; ++round) {
    for (Flow *flow : flows) {
      CStreamRequest done;
      if (!flow->client->WaitOldest(1000, &done)) {
        ADD_FAILURE() << "a stream request did not complete";
        return;
      }
      Collect(*flow, done);
      SendOne(*flow, flow->client->Rule().rate * frameMs / 1000);
    }
    if (each) each(round);
  }
  for (Flow *flow : flows) {
    while (flow->client->InFlight() > 0) {
      CStreamRequest done;
      if (!flow->client->WaitOldest(1000, &done)) {
        ADD_FAILURE() << "a stream request did not complete";
        return;
      }
      Collect(*flow, done);
    }
  }
  Sleep(2 * 10 * kMaxIsoUrbMs);  // the last regions filled go out on the bus
}

NTSTATUS ChangeFormat(UsbAudioDevice &device, const WaveShape &shape) {
  KsAcquireDevice(device.device);
  PKSFILTER filter = KsFilterFactoryGetFirstChildFilter(KsDeviceGetFirstChildFilterFactory(device.device));
  NTSTATUS status = STATUS_NOT_FOUND;
  if (filter != nullptr) {
    KsFilterAcquireControl(filter);
    if (auto *pin = static_cast<PKSPIN>(KsGetFirstChild(filter))) {
      std::vector<uint8_t> request = ConnectRequest(pin->Id, shape);
      PKSDATAFORMAT old = pin->ConnectionFormat;
      pin->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(request.data() + sizeof(KSPIN_CONNECT));
      status = pin->Descriptor->Dispatch->SetDataFormat(pin, old, nullptr,
                                                        pin->Descriptor->PinDescriptor.DataRanges[0], nullptr);
      pin->ConnectionFormat = old;
    }
    KsFilterReleaseControl(filter);
  }
  KsReleaseDevice(device.device);
  return status;
}

}  // namespace pintest
