// Opening the pin pair with the ASIO format, its states and its packet size,
// against the real driver.
#include <cstring>

#include "filter_machine.h"
#include "uac2common/asiodriver/filter/pin_format.h"
#include "uac2common/directks/kstrace.h"
#include "winsim/devices/catalog.h"
#include "winsim/kernel/fault_injection.h"

namespace asiofiltertest {
namespace {

struct OpenCase {
  const char *model;
  ULONG rate;
  bool opens;
  ULONG render;   // channels of the open render pin
  ULONG capture;  // channels of the open capture pin
};

void PrintTo(const OpenCase &c, std::ostream *os) { *os << c.model << " at " << c.rate; }

void ExpectAsioFormat(const CKsAudPin *pin, ULONG channels, ULONG rate) {
  ASSERT_NE(pin, nullptr);
  const WAVEFORMATEX *wfx = pin->GetCurrentFormat();
  ASSERT_NE(wfx, nullptr);
  ASSERT_EQ(wfx->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  const auto *extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(wfx);
  EXPECT_EQ(wfx->nChannels, channels);
  EXPECT_EQ(wfx->nSamplesPerSec, rate);
  EXPECT_EQ(wfx->nBlockAlign, 4 * channels);
  EXPECT_EQ(wfx->nAvgBytesPerSec, 4 * channels * rate);
  EXPECT_EQ(wfx->wBitsPerSample, 32);
  EXPECT_EQ(wfx->cbSize, 22);
  EXPECT_EQ(extensible->Samples.wValidBitsPerSample, 24);
  EXPECT_EQ(extensible->dwChannelMask, 0u);
  EXPECT_TRUE(directks::GuidEquals(extensible->SubFormat, directks::kSubtypePcm));
}

// The library's error trace while alive.
class ErrorTrace {
 public:
  ErrorTrace() {
    Messages().clear();
    SetKsTraceSink([](const char *message) { Messages().push_back(message); });
  }
  ~ErrorTrace() { SetKsTraceSink(nullptr); }
  bool Saw(const std::string &text) const {
    for (const std::string &message : Messages()) {
      if (message.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static std::vector<std::string> &Messages() {
    static std::vector<std::string> messages;
    return messages;
  }
};

constexpr const char *kRenderRefused =
    "CQZAudioFilter::OpenPins() Error: Could not create connection with specified sample rate";
constexpr const char *kCaptureRefused = "CQZAudioFilter::OpenPins() Error: CreateCapturePin() failed";

class OpenPins : public FilterMachineTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenPins, BothPinsOpenWithTheFormatOrNeither) {
  const OpenCase &c = GetParam();
  PluggedDevice *device = Plug(c.model);
  ASSERT_NE(device, nullptr);
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *device);
  ASSERT_NE(filter, nullptr);

  ErrorTrace trace;
  ASSERT_EQ(filter->OpenPins(c.rate), c.opens);
  EXPECT_EQ(filter->PinsAreOpen(), c.opens);
  EXPECT_EQ(trace.Saw(kRenderRefused), !c.opens && filter->GetRenderPinCount() != 0);
  EXPECT_EQ(filter->GetRenderChannelCount(), c.render);
  EXPECT_EQ(filter->GetCaptureChannelCount(), c.capture);
  if (!c.opens) {
    EXPECT_EQ(filter->GetActiveSampleRate(), 0u) << "nothing was left open";
    return;
  }
  ExpectAsioFormat(filter->GetFirstRenderPin(), c.render, c.rate);
  if (c.capture != 0) ExpectAsioFormat(filter->GetFirstCapturePin(), c.capture, c.rate);
  EXPECT_EQ(filter->GetActiveSampleRate(), c.rate);
  EXPECT_EQ(device->device->ActiveRate(), c.rate);
  EXPECT_FALSE(filter->OpenPins(c.rate)) << "already open";

  filter->ClosePins();
  EXPECT_FALSE(filter->PinsAreOpen());
  EXPECT_EQ(filter->GetRenderChannelCount(), 0u);
  EXPECT_EQ(filter->GetCaptureChannelCount(), 0u);
  EXPECT_EQ(filter->GetActiveSampleRate(), 0u);
  EXPECT_TRUE(filter->OpenPins(c.rate)) << "closed pins open again";
}

INSTANTIATE_TEST_SUITE_P(Shapes, OpenPins,
                         ::testing::Values(OpenCase{"Alder", 48000, true, 2, 2}, OpenCase{"Alder", 96000, true, 2, 2},
                                           OpenCase{"Larch", 96000, true, 20, 18},
                                           OpenCase{"Rowan", 192000, true, 6, 8},
                                           OpenCase{"Maple", 44100, true, 2, 0},
                                           OpenCase{"Hazel", 48000, true, 2, 2},
                                           OpenCase{"Linden", 48000, true, 20, 18},
                                           // A rate the clock does not have.
                                           OpenCase{"Hazel", 44100, false, 0, 0},
                                           OpenCase{"Alder", 192000, false, 0, 0},
                                           // Capture only: no render pin.
                                           OpenCase{"Cedar", 48000, false, 0, 0}),
                         [](const ::testing::TestParamInfo<OpenCase> &info) {
                           return std::string(info.param.model) + "_" + std::to_string(info.param.rate);
                         });

using RateChoice = FilterMachineTest;

TEST_F(RateChoice, RateZeroTakesTheActiveRateThenTheDevicesRate) {
  PluggedDevice *alder = Plug("Alder");
  ASSERT_NE(alder, nullptr);
  lists.push_back(Enumerate());
  lists.push_back(Enumerate());
  CQZAudioFilter *first = FilterOf(*lists[0], *alder);
  CQZAudioFilter *second = FilterOf(*lists[1], *alder);
  ASSERT_TRUE(first != nullptr && second != nullptr && first != second);
  const ULONG deviceRate = alder->device->ActiveRate();
  ASSERT_NE(deviceRate, 0u);

  ASSERT_TRUE(first->OpenPins(0));
  EXPECT_EQ(first->GetFirstRenderPin()->GetCurrentFormat()->nSamplesPerSec, deviceRate) << "no pin open: the device's rate";

  const ULONG other = deviceRate == 96000 ? 48000 : 96000;
  EXPECT_FALSE(second->OpenPins(other)) << "the device runs at the first client's rate";
  EXPECT_FALSE(second->PinsAreOpen());
  ASSERT_TRUE(second->OpenPins(0));
  EXPECT_EQ(second->GetFirstRenderPin()->GetCurrentFormat()->nSamplesPerSec, deviceRate);
}

TEST_F(RateChoice, RateZeroFallsBackTo44100WhenNoRateCanBeRead) {
  PluggedDevice *alder = Plug("Alder");
  ASSERT_NE(alder, nullptr);
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *alder);
  ASSERT_NE(filter, nullptr);
  ASSERT_NE(alder->device->ActiveRate(), 44100u);
  // The one control request of the device-rate read ends in a bus error.
  alder->device->EditFaults([](winsim::devices::FaultKnobs &knobs) { knobs.errorNext = 1; });
  ASSERT_TRUE(filter->OpenPins(0));
  EXPECT_EQ(alder->device->Faults().errors, 1u);
  EXPECT_EQ(filter->GetActiveSampleRate(), 44100u);
  EXPECT_EQ(alder->device->ActiveRate(), 44100u);
}

using PinFailure = FilterMachineTest;

// The driver's allocations while opening the render pin alone are counted
// first; failing the next one fails the capture pin right after it.
TEST_F(PinFailure, AFailingCapturePinClosesTheRenderPinAgain) {
  PluggedDevice *alder = Plug("Alder");
  ASSERT_NE(alder, nullptr);
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *alder);
  ASSERT_NE(filter, nullptr);
  const winsim::AllocationFaultPlan counting{.sites = {"kerneldriver/"}, .excludedSites = {"tests/"}};
  machine.ArmAllocationFaults(counting);
  const WAVEFORMATEXTENSIBLE format = MakeAsioPinFormat(2, 48000);
  ASSERT_NE(filter->CreateRenderPin(&format.Format), nullptr);
  const uint64_t renderAllocations = winsim::AllocationFaults::Instance().Counted();
  machine.DisarmAllocationFaults();
  filter->ClosePins();

  winsim::AllocationFaultPlan failCapture = counting;
  failCapture.failNth = renderAllocations + 1;
  machine.ArmAllocationFaults(failCapture);
  ErrorTrace trace;
  EXPECT_FALSE(filter->OpenPins(48000));
  EXPECT_TRUE(trace.Saw(kCaptureRefused));
  EXPECT_FALSE(trace.Saw(kRenderRefused));
  EXPECT_EQ(winsim::AllocationFaults::Instance().Failed(), 1u);
  machine.DisarmAllocationFaults();
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter->GetFirstRenderPin()->GetHandle())) << "render pin closed again";
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter->GetFirstCapturePin()->GetHandle()));
  EXPECT_EQ(filter->GetActiveSampleRate(), 0u);
  EXPECT_TRUE(filter->OpenPins(48000)) << "the pair opens once memory is there";
}

using PinStates = FilterMachineTest;

KSSTATE StateOf(CKsPin *pin) {
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(pin->GetState(&state), S_OK);
  return state;
}

TEST_F(PinStates, BothPinsGoThroughEveryStateAndBack) {
  CQZAudioFilter *filter = PlugAndOpen("Rowan");
  ASSERT_NE(filter, nullptr);
  EXPECT_TRUE(FAILED(filter->SetPinsState(KSSTATE_ACQUIRE))) << "closed pins";
  ASSERT_TRUE(filter->OpenPins(48000));
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
    SCOPED_TRACE(state);
    ASSERT_EQ(filter->SetPinsState(state), S_OK);
    EXPECT_EQ(StateOf(filter->GetFirstCapturePin()), state);
    EXPECT_EQ(StateOf(filter->GetFirstRenderPin()), state);
  }
  EXPECT_EQ(filter->CancelPinIo(), S_OK) << "nothing pending";
}

TEST_F(PinStates, ARenderOnlyDeviceRunsItsRenderPin) {
  CQZAudioFilter *filter = PlugAndOpen("Maple");
  ASSERT_NE(filter, nullptr);
  ASSERT_TRUE(filter->OpenPins(44100));
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP}) {
    ASSERT_EQ(filter->SetPinsState(state), S_OK) << state;
    EXPECT_EQ(StateOf(filter->GetFirstRenderPin()), state);
  }
}

TEST_F(PinStates, CancellingEndsAPendingCaptureRead) {
  CQZAudioFilter *filter = PlugAndOpen("Alder");
  ASSERT_NE(filter, nullptr);
  ASSERT_TRUE(filter->OpenPins(48000));
  ASSERT_EQ(filter->SetPinsState(KSSTATE_PAUSE), S_OK);
  std::vector<BYTE> data(48000 * 8);
  KSSTREAM_HEADER header = {};
  header.Size = sizeof header;
  header.FrameExtent = static_cast<ULONG>(data.size());
  header.Data = data.data();
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(filter->GetFirstCapturePin()->ReadData(&header, &overlapped), S_OK);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "paused: nothing comes";
  EXPECT_EQ(filter->CancelPinIo(), S_OK);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 1000), WAIT_OBJECT_0);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(filter->GetFirstCapturePin()->GetHandle(), &overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  CloseHandle(overlapped.hEvent);
  EXPECT_EQ(filter->SetPinsState(KSSTATE_STOP), S_OK);
}

struct PacketCase {
  const char *model;
  ULONG rate;
  ULONG urbSize;
  ULONG frames;  // sample frames the driver moves per URB
};

void PrintTo(const PacketCase &c, std::ostream *os) { *os << c.model << " " << c.rate << " x" << c.urbSize; }

class FramesPerPacket : public FilterMachineTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(FramesPerPacket, IsOneUrbOfFramesAtTheRate) {
  const PacketCase &c = GetParam();
  CQZAudioFilter *filter = PlugAndOpen(c.model);
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(filter->SetUrbSize(c.urbSize), S_OK);
  EXPECT_EQ(filter->GetFramesPerPacket(), 0u) << "no open render pin";
  ASSERT_TRUE(filter->OpenPins(c.rate));
  EXPECT_EQ(filter->GetFramesPerPacket(), c.frames);
}

// A rate that is no whole number of frames per millisecond rounds one frame up.
INSTANTIATE_TEST_SUITE_P(Modes, FramesPerPacket,
                         ::testing::Values(PacketCase{"Alder", 48000, UAC_URB_SIZE_RECORDING, 48},
                                           PacketCase{"Alder", 44100, UAC_URB_SIZE_BALANCED, 133},
                                           PacketCase{"Larch", 96000, UAC_URB_SIZE_MIXING, 480},
                                           PacketCase{"Maple", 44100, UAC_URB_SIZE_RECORDING, 45},
                                           PacketCase{"Rowan", 192000, UAC_URB_SIZE_BALANCED, 576}));

}  // namespace
}  // namespace asiofiltertest
