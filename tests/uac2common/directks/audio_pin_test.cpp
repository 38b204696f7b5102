// Audio pins against a fake filter: which ranges a pin keeps, which wave
// formats it takes, and the connection request it builds, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_io.h"
#include "trace_capture.h"
#include "winsim/machine.h"

namespace kslibtest {
namespace {

class AudioPinTest : public ::testing::Test {
 protected:
  // A filter whose only pin is a render pin with these ranges.
  CKsAudPin *RenderPin(std::vector<KSDATARANGE_AUDIO> ranges) {
    fake.pins = {AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, std::move(ranges))};
    return Enumerate();
  }
  CKsAudPin *Enumerate() {
    filter.EnumeratePins();
    return filter.GetInSinkPins().IsEmpty() ? nullptr : static_cast<CKsAudPin *>(filter.GetInSinkPins().GetAt(0));
  }

  winsim::Machine machine;
  FakeIo io;
  FakeKsFilter fake;
  FakeFilter<CKsAudFilter> filter;
  void SetUp() override {
    io.answer = [this](const IoRequest &request) { return fake.Answer(request); };
  }
};

struct FormatCase {
  const char *name;
  KSDATARANGE_AUDIO range;
  bool supported;
};

// The pin keeps only ranges whose MajorFormat is audio: the wildcards a kept
// range can have are its SubFormat and Specifier.
KSDATARANGE_AUDIO Wildcard(KSDATARANGE_AUDIO range) {
  range.DataRange.SubFormat = directks::kGuidNull;
  range.DataRange.Specifier = directks::kGuidNull;
  return range;
}

TEST_F(AudioPinTest, A48kStereo24BitFormatAgainstOneRange) {
  const FormatCase cases[] = {
      {"fits", AudioRange(2, 16, 24, 44100, 48000), true},
      {"one channel", AudioRange(1, 16, 24, 44100, 48000), false},
      {"16 bits only", AudioRange(2, 16, 16, 44100, 48000), false},
      {"up to 44.1 kHz", AudioRange(2, 16, 24, 8000, 44100), false},
      {"from 96 kHz", AudioRange(2, 16, 24, 96000, 192000), false},
      {"wildcards", Wildcard(AudioRange(8, 24, 24, 48000, 48000)), true},
  };
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  for (const FormatCase &c : cases) {
    SCOPED_TRACE(c.name);
    CKsAudPin *pin = RenderPin({c.range});
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->IsFormatSupported(&format), c.supported);
    EXPECT_EQ(filter.FindViableRenPin(&format) != nullptr, c.supported);
  }
}

TEST_F(AudioPinTest, ExtensibleFormatsAreMatchedOnTheirSubFormat) {
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 32, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  WAVEFORMATEXTENSIBLE pcm = Extensible(2, 24, 48000, directks::kSubtypePcm);
  WAVEFORMATEXTENSIBLE floating = Extensible(2, 32, 48000, directks::WaveTagSubtype(WAVE_FORMAT_IEEE_FLOAT));
  EXPECT_TRUE(pin->IsFormatSupported(&pcm.Format));
  EXPECT_FALSE(pin->IsFormatSupported(&floating.Format));
  WAVEFORMATEX floatTag = Pcm(2, 32, 48000);
  floatTag.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  EXPECT_FALSE(pin->IsFormatSupported(&floatTag)) << "a plain tag is matched as its derived GUID";
  pcm.Format.cbSize = 10;
  EXPECT_FALSE(pin->IsFormatSupported(&pcm.Format)) << "too short to hold a SubFormat";
  EXPECT_FALSE(pin->IsFormatSupported(nullptr));
}

std::vector<uint8_t> RangeBytes(ULONG formatSize, const GUID &major, const GUID &sub) {
  std::vector<uint8_t> bytes(formatSize, 0);
  KSDATARANGE range = {};
  range.FormatSize = formatSize;
  range.MajorFormat = major;
  range.SubFormat = sub;
  std::memcpy(bytes.data(), &range, sizeof range);
  return bytes;
}

QAV_DEFINE_GUID(kMidiSubtype, STATIC_KSDATAFORMAT_SUBTYPE_MIDI);
QAV_DEFINE_GUID(kMusicType, STATIC_KSDATAFORMAT_TYPE_MUSIC);

TEST_F(AudioPinTest, RangesAreKeptFromTheFirstAudioSubFormatOnAndWalkedOnEightByteBoundaries) {
  FakePin pin = AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {});
  pin.ranges = {
      RangeBytes(sizeof(KSDATARANGE_AUDIO), kMusicType, kMidiSubtype),                    // skipped: not audio
      RangeBytes(92, directks::kFormatTypeAudio, directks::kSubtypePcm),                  // audio, but not 88 bytes
      RangeBytes(sizeof(KSDATARANGE_AUDIO), directks::kFormatTypeAudio, kMidiSubtype),     // after the first: kept
  };
  fake.pins = {pin};
  CKsAudPin *audio = Enumerate();
  ASSERT_NE(audio, nullptr);
  ASSERT_EQ(audio->GetDataRanges().GetCount(), 1) << "the third range starts at 96, not 92";
  EXPECT_TRUE(directks::GuidEquals(audio->GetDataRanges().GetAt(0)->DataRange.SubFormat, kMidiSubtype));
}

TEST_F(AudioPinTest, PinsWithoutStandardStreamingOrAudioRangesAreNotKept) {
  TraceCapture trace;
  FakePin noInterface = AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 24, 44100, 48000)});
  noInterface.interfaces[0].Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  FakePin noMedium = AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 24, 44100, 48000)});
  noMedium.mediums[0].Set = directks::kInterfaceSetStandard;
  FakePin midi = AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT, {});
  midi.ranges = {RangeBytes(sizeof(KSDATARANGE_AUDIO), kMusicType, kMidiSubtype)};
  FakePin bridge = AudioPin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT, {AudioRange(2, 16, 24, 44100, 48000)});
  fake.pins = {noInterface, noMedium, midi, bridge};
  EXPECT_EQ(filter.EnumeratePins(), E_FAIL) << "nothing classified";
  EXPECT_TRUE(filter.GetPins().IsEmpty());
  EXPECT_TRUE(trace.Saw("No standard streaming interfaces on the pin"));
  EXPECT_TRUE(trace.Saw("No standard streaming mediums on the pin"));
  EXPECT_TRUE(trace.Saw("No audio dataranges on the pin"));
  EXPECT_TRUE(trace.Saw("Pin communication value doesn't make sense"));
}

// The offsets of the x64 layout; the x86 build pins its own sizes at compile time.
#if !defined(_WIN32) || defined(_WIN64)
template <class T>
T At(const KSPIN_CONNECT *connect, size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const uint8_t *>(connect) + offset, sizeof value);
  return value;
}

TEST_F(AudioPinTest, TheConnectionRequestByteForByte) {
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  const KSPIN_CONNECT *c = pin->GetPinConnect();
  ASSERT_EQ(pin->GetPinConnectSize(), 154u);
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 0), directks::kInterfaceSetStandard));
  EXPECT_EQ(At<ULONG>(c, 16), 0u);
  EXPECT_EQ(At<ULONG>(c, 20), 0u);
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 24), directks::kMediumSetStandard));
  EXPECT_EQ(At<ULONG>(c, 40), 0u);
  EXPECT_EQ(At<ULONG>(c, 44), 0u);
  EXPECT_EQ(At<ULONG>(c, 48), 0u) << "pin id";
  EXPECT_EQ(At<ULONG>(c, 52), 0u) << "padding";
  EXPECT_EQ(At<uint64_t>(c, 56), 0u) << "no pin to connect to";
  EXPECT_EQ(At<ULONG>(c, 64), 0x40000000u);
  EXPECT_EQ(At<ULONG>(c, 68), 1u);
  EXPECT_EQ(At<ULONG>(c, 72), 82u);
  EXPECT_EQ(At<ULONG>(c, 76), 0u);
  EXPECT_EQ(At<ULONG>(c, 80), 0u) << "SampleSize until a format is set";
  EXPECT_EQ(At<ULONG>(c, 84), 0u);
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 88), directks::kFormatTypeAudio));
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 104), directks::kSubtypePcm));
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 120), directks::kSpecifierWaveFormatEx));
  const uint8_t *wave = reinterpret_cast<const uint8_t *>(c) + 136;
  EXPECT_EQ(std::vector<uint8_t>(wave, wave + 18), std::vector<uint8_t>(18, 0));
}

TEST_F(AudioPinTest, SetFormatGrowsAndShrinksTheRequestToTheFormat) {
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  WAVEFORMATEXTENSIBLE extensible = Extensible(2, 24, 48000, directks::kSubtypePcm);
  ASSERT_EQ(pin->SetFormat(&extensible.Format), S_OK);
  const KSPIN_CONNECT *c = pin->GetPinConnect();
  EXPECT_EQ(pin->GetPinConnectSize(), 176u);
  EXPECT_EQ(At<ULONG>(c, 72), 104u);
  EXPECT_EQ(At<ULONG>(c, 80), 6u) << "2 channels of 24 bits";
  EXPECT_TRUE(directks::GuidEquals(At<GUID>(c, 104), directks::kSubtypePcm)) << "SubFormat unchanged";
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t *>(c) + 136, &extensible, sizeof extensible), 0);
  EXPECT_EQ(At<ULONG>(c, 64), 0x40000000u) << "the header came along";
  ASSERT_NE(pin->GetCurrentFormat(), nullptr);
  EXPECT_EQ(pin->GetCurrentFormat()->cbSize, 22);
  WAVEFORMATEX pcm = Pcm(1, 16, 44100);
  ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
  c = pin->GetPinConnect();
  EXPECT_EQ(pin->GetPinConnectSize(), 154u);
  EXPECT_EQ(At<ULONG>(c, 72), 82u);
  EXPECT_EQ(At<ULONG>(c, 80), 2u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t *>(c) + 136, &pcm, sizeof pcm), 0);
}
#endif

TEST_F(AudioPinTest, SampleSizeIsTruncatedTo16Bits) {
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  WAVEFORMATEX wide = Pcm(8192, 32, 48000);  // 32768 bytes a frame
  wide.nChannels = 65535;
  ASSERT_EQ(pin->SetFormat(&wide), S_OK);
  EXPECT_EQ(pin->GetDataFormat()->DataFormat.SampleSize, static_cast<ULONG>((65535u * 32u / 8u) & 0xFFFF));
}

TEST_F(AudioPinTest, InstantiateSendsTheRequestThroughKsCreatePinAndReportsItsError) {
  TraceCapture trace;
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  // The fake filter handle is no handle of the machine's: ksuser refuses it.
  EXPECT_EQ(pin->Instantiate(1), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(trace.Saw("Failed to instantiate pin. hr=0x80070006"));
  EXPECT_EQ(pin->GetPinConnect()->Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
  WAVEFORMATEX format = Pcm(2, 16, 48000);
  EXPECT_EQ(filter.CreateRenderPin(&format, 0), nullptr);
  EXPECT_TRUE(trace.Saw("Failed to instantiate Render Pin"));
  EXPECT_EQ(pin->GetPinConnect()->Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
}

TEST_F(AudioPinTest, NoPinForAFormatIsReportedAtTheDirectionsLevel) {
  TraceCapture trace(4);
  RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  WAVEFORMATEX format = Pcm(6, 16, 48000);
  EXPECT_EQ(filter.CreateRenderPin(&format, 0), nullptr);
  EXPECT_FALSE(filter.CanCreateRenderPin(&format));
  EXPECT_EQ(filter.CreateCapturePin(&format, 0), nullptr);
  EXPECT_TRUE(trace.Saw("Could not find a Render pin that supports the given wave format"));
  EXPECT_TRUE(trace.Saw("Could not find a Capture pin that supports the given wave format"));
  CKsAudPin *capture = reinterpret_cast<CKsAudPin *>(1);
  EXPECT_EQ(filter.GetCapturePin(&capture), E_FAIL) << "a render pin is no capture pin";
  EXPECT_EQ(filter.GetCapturePin(nullptr), E_POINTER);
}

TEST_F(AudioPinTest, PinStateNeedsAnOpenPin) {
  TraceCapture trace;
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(pin->GetState(nullptr), E_INVALIDARG);
  EXPECT_TRUE(trace.Saw("pksState == NULL"));
  EXPECT_EQ(pin->GetState(&state), E_FAIL);
  EXPECT_TRUE(trace.Saw("No valid pin handle"));
  EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);
  EXPECT_TRUE(trace.Saw("Failed to Set Pin State"));
  EXPECT_EQ(pin->GetCurrentState(), KSSTATE_STOP) << "unchanged by a failed set";
  KSAUDIO_POSITION position = {};
  EXPECT_EQ(pin->GetPosition(nullptr), E_INVALIDARG);
  EXPECT_EQ(pin->GetPosition(&position), E_FAIL);
  EXPECT_TRUE(trace.Saw("Failed to retrieve audio stream position - 0x80004005"));
  EXPECT_EQ(pin->GetNode(0), nullptr);
}

TEST_F(AudioPinTest, SetPinConnectTakesOnlyAWholeRequest) {
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  std::vector<uint8_t> request(pin->GetPinConnectSize());
  std::memcpy(request.data(), pin->GetPinConnect(), request.size());
  auto *connect = reinterpret_cast<PKSPIN_CONNECT>(request.data());
  EXPECT_EQ(pin->SetPinConnect(nullptr, 200), E_INVALIDARG);
  EXPECT_EQ(pin->SetPinConnect(connect, sizeof(KSPIN_CONNECT)), E_INVALIDARG) << "no data format";
  EXPECT_EQ(pin->SetPinConnect(connect, static_cast<ULONG>(request.size() - 1)), E_INVALIDARG)
      << "FormatSize runs past the request";
  EXPECT_EQ(pin->GetPinConnectSize(), request.size()) << "a refused request leaves the old one";
  connect->PinId = 9;
  ASSERT_EQ(pin->SetPinConnect(connect, static_cast<ULONG>(request.size())), S_OK);
  EXPECT_EQ(pin->GetPinConnect()->PinId, 9u);
}

TEST_F(AudioPinTest, StreamRequestsSucceedWhenQueuedAndReportOtherErrors) {
  TraceCapture trace;
  CKsAudPin *pin = RenderPin({AudioRange(2, 16, 24, 44100, 48000)});
  ASSERT_NE(pin, nullptr);
  KSSTREAM_HEADER header = {};
  header.Size = sizeof header;
  OVERLAPPED overlapped = {};
  io.requests.clear();
  io.answer = [](const IoRequest &) {
    IoAnswer answer;
    answer.result = FALSE;
    answer.error = ERROR_IO_PENDING;
    return answer;
  };
  EXPECT_EQ(pin->WriteData(&header, &overlapped), S_OK);
  EXPECT_EQ(pin->ReadData(&header, &overlapped), S_OK);
  ASSERT_EQ(io.requests.size(), 2u);
  EXPECT_EQ(io.requests[0].code, 0x2F8013u) << "IOCTL_KS_WRITE_STREAM";
  EXPECT_EQ(io.requests[1].code, 0x2F4017u) << "IOCTL_KS_READ_STREAM";
  EXPECT_EQ(io.requests[0].outputSize, sizeof header) << "the header is the output buffer";
  EXPECT_TRUE(io.requests[0].input.empty());
  io.answer = [](const IoRequest &) {
    IoAnswer answer;
    answer.result = FALSE;
    answer.error = ERROR_DEVICE_REMOVED;
    return answer;
  };
  EXPECT_EQ(pin->WriteData(&header, &overlapped), E_FAIL);
  EXPECT_EQ(pin->ReadData(&header, &overlapped), E_FAIL);
  EXPECT_TRUE(trace.Saw("CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x000651"));
  EXPECT_TRUE(trace.Saw("DeviceIoControl Failed!  Error=0x00000651"));
}

// An audio pin whose instance handle is the fake's.
class OpenFakePin : public CKsAudPin {
 public:
  OpenFakePin(CKsAudFilter *filter, HRESULT *phr) : CKsAudPin(filter, 0, phr) { m_handle = kFakeHandle; }
  ~OpenFakePin() override { m_handle = INVALID_HANDLE_VALUE; }
};

TEST_F(AudioPinTest, PositionIsReadAndSetAsKsAudioPosition) {
  fake.pins = {AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 24, 44100, 48000)})};
  HRESULT hr = E_FAIL;
  OpenFakePin open(&filter, &hr);
  ASSERT_EQ(hr, S_OK);
  CKsAudPin *pin = &open;
  const KSAUDIO_POSITION device = {0x1122334455667788ULL, 0x99AABBCCDDEEFF00ULL};
  io.requests.clear();
  io.answer = [&](const IoRequest &) {
    IoAnswer answer;
    answer.output = Bytes(device);
    answer.bytes = sizeof device;
    return answer;
  };
  KSAUDIO_POSITION position = {};
  ASSERT_EQ(pin->GetPosition(&position), S_OK);
  EXPECT_EQ(position.PlayOffset, device.PlayOffset);
  EXPECT_EQ(position.WriteOffset, device.WriteOffset);
  EXPECT_EQ(pin->SetPosition(&position), S_OK);
  ASSERT_EQ(io.requests.size(), 2u);
  for (const IoRequest &request : io.requests) {
    KSPROPERTY property;
    ASSERT_EQ(request.input.size(), sizeof property);
    std::memcpy(&property, request.input.data(), sizeof property);
    EXPECT_TRUE(directks::GuidEquals(property.Set, directks::kPropSetAudio));
    EXPECT_EQ(property.Id, static_cast<ULONG>(KSPROPERTY_AUDIO_POSITION));
    EXPECT_EQ(request.outputSize, 16u);
  }
  KSPROPERTY set;
  std::memcpy(&set, io.requests[1].input.data(), sizeof set);
  EXPECT_EQ(set.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
}

}  // namespace
}  // namespace kslibtest
