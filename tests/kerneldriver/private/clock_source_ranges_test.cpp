// A clock-source change as a client sees it on the filter afterwards: the
// audio pins' data ranges advertise the new clock's rates, the intersection
// proposes the rate it runs at, and pins are accepted or refused by its
// limits, not the first clock's.
#include <cstring>
#include <ostream>

#include "private_client.h"
#include "tests/kerneldriver/pin/pin_client.h"
#include "tests/kerneldriver/user_mode_client.h"

namespace privtest {
namespace {

using umclient::CKsHandle;

constexpr ULONG kRenderPin = 0;

KSP_PIN PinRequest(ULONG id) {
  KSP_PIN request{};
  request.Property = {KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET};
  request.PinId = kRenderPin;
  return request;
}

struct Limits {
  ULONG lowest;
  ULONG highest;
  bool operator==(const Limits &) const = default;
  friend std::ostream &operator<<(std::ostream &out, const Limits &limits) {
    return out << limits.lowest << ".." << limits.highest << " Hz";
  }
};

// The limits of the render pin's two ranges; {0, 0} when they disagree or
// cannot be read.
Limits RangeLimits(const CKsHandle &filter) {
  const KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES);
  std::vector<BYTE> answer;
  if (!filter.GetMultiple(&request, sizeof request, &answer).Ok()) return {};
  const auto ranges = umclient::Items<KSDATARANGE_AUDIO>(answer);
  if (ranges.size() != 2) return {};
  const Limits first{ranges[0].MinimumSampleFrequency, ranges[0].MaximumSampleFrequency};
  const Limits second{ranges[1].MinimumSampleFrequency, ranges[1].MaximumSampleFrequency};
  return first == second ? first : Limits{};
}

// The rate the intersection proposes for a client taking any rate; 0 when
// it proposes nothing.
ULONG ProposedRate(const CKsHandle &filter) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM list;
    KSDATARANGE_AUDIO range;
  } request{};
  request.pin = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION);
  request.list = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), 1};
  request.range.DataRange = {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, {STATIC_KSDATAFORMAT_TYPE_AUDIO},
                              {STATIC_KSDATAFORMAT_SUBTYPE_PCM}, {STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}}};
  request.range.MaximumChannels = 2;
  request.range.MinimumBitsPerSample = 16;
  request.range.MaximumBitsPerSample = 32;
  request.range.MinimumSampleFrequency = 1;
  request.range.MaximumSampleFrequency = 1'000'000;
  std::vector<BYTE> out(sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE));
  if (!filter.Ioctl(IOCTL_KS_PROPERTY, &request, sizeof request, out.data(), static_cast<ULONG>(out.size())).Ok()) {
    return 0;
  }
  WAVEFORMATEXTENSIBLE wave;
  std::memcpy(&wave, out.data() + sizeof(KSDATAFORMAT), sizeof wave);
  return wave.Format.nSamplesPerSec;
}

DWORD OpenRenderPin(const CKsHandle &filter, uint32_t rate) {
  pintest::WaveShape shape;
  shape.rate = rate;
  CKsHandle pin;
  return filter.CreatePin(pintest::ConnectRequest(kRenderPin, shape).data(), &pin);
}

using ClockSourceRanges = PrivateTest;

TEST_F(ClockSourceRanges, FollowTheSelectedClock) {
  ASSERT_NO_FATAL_FAILURE(PlugLarchWithHighRateThirdClock());
  const winsim::devices::DeviceModel &model = dstest::Model("Larch");  // clock ids as plugged
  auto client = Connect();
  ASSERT_TRUE(client);
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid());
  const Limits first = RangeLimits(filter);
  ASSERT_EQ(first, (Limits{44100, 192000}));

  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 2).ok);
  EXPECT_EQ(RangeLimits(filter), (Limits{88200, 176400}));
  EXPECT_EQ(ProposedRate(filter), device->ClockRate(model.clocks[2].id)) << "the new clock's rate";
  EXPECT_EQ(OpenRenderPin(filter, 44100), DWORD(ERROR_NO_MATCH)) << "below the new clock's rates";
  CKsHandle other = CKsHandle::OpenFilter(machine);
  EXPECT_EQ(RangeLimits(other), (Limits{88200, 176400})) << "a filter opened afterwards";

  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 9).ok);
  EXPECT_EQ(RangeLimits(filter), (Limits{88200, 176400})) << "an absent source changes nothing";

  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 0).ok);
  EXPECT_EQ(RangeLimits(filter), first);
  EXPECT_EQ(ProposedRate(filter), device->ClockRate(model.clocks[0].id));
  EXPECT_EQ(OpenRenderPin(filter, 44100), DWORD(ERROR_SUCCESS)) << "the first clock's rates again";
}

}  // namespace
}  // namespace privtest
