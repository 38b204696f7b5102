// The library against the real driver on a Machine: the filter opened by its
// interface path, its pins read and sorted for each catalog shape, its audio
// ranges matched, and requests of every form answered by the driver and
// ks.sys.
#include <gtest/gtest.h>

#include <cstring>

#include "driver_machine.h"
#include "fake_io.h"
#include "trace_capture.h"
#include "winsim/devices/catalog.h"

namespace kslibtest {
namespace {

QAV_DEFINE_GUID(kCategoryAudio, STATIC_KSCATEGORY_AUDIO);
QAV_DEFINE_GUID(kNodeDac, STATIC_KSNODETYPE_DAC);
QAV_DEFINE_GUID(kNodeAdc, STATIC_KSNODETYPE_ADC);

struct ShapeCase {
  const char *model;
  LONG render;   // audio render pins the audio filter keeps
  LONG capture;  // audio capture pins
};

class DriverShapes : public DriverMachineTest, public ::testing::WithParamInterface<ShapeCase> {};

// Every pin stands in the lists its own communication and data flow name.
void ExpectClassifiedByDescriptor(const CKsFilter &filter) {
  for (LONG i = 0; i < filter.GetPins().GetCount(); ++i) {
    CKsPin *pin = filter.GetPins().GetAt(i);
    ULONG communication = 0;
    ULONG flow = 0;
    pin->GetCommunication(&communication);
    pin->GetDataFlow(&flow);
    SCOPED_TRACE(pin->GetId());
    auto contains = [pin](const TList<CKsPin> &list) {
      for (LONG j = 0; j < list.GetCount(); ++j) {
        if (list.GetAt(j) == pin) return true;
      }
      return false;
    };
    const bool in = flow == KSPIN_DATAFLOW_IN;
    EXPECT_EQ(contains(filter.GetNoCommPins()), communication == KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(contains(filter.GetInSinkPins()), in && communication == KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(contains(filter.GetOutSinkPins()), !in && communication == KSPIN_COMMUNICATION_SINK);
  }
}

TEST_P(DriverShapes, PinsAreReadAndSortedAsTheDriverDescribesThem) {
  const ShapeCase &shape = GetParam();
  Plug(shape.model);
  const std::string path = FilterPath();
  ASSERT_FALSE(path.empty());
  HRESULT hr = E_FAIL;
  CKsFilter plain(path.c_str(), &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(plain.Instantiate(), S_OK);
  EXPECT_EQ(plain.EnumeratePins(), S_OK);
  ULONG count = 0;
  ASSERT_EQ(plain.GetPinPropertySimple(0, directks::kPropSetPin, KSPROPERTY_PIN_CTYPES, &count, sizeof count), S_OK);
  EXPECT_EQ(plain.GetPins().GetCount(), static_cast<LONG>(count));
  const auto *model = winsim::devices::FindModel(shape.model);
  ASSERT_NE(model, nullptr);
  // A MIDI cable has a bridge pin on its OUT and on its IN endpoint.
  const LONG midiBridges = model->midi ? 2 * model->midi->cables : 0;
  EXPECT_EQ(plain.GetNoCommPins().GetCount(), shape.render + shape.capture + midiBridges)
      << "one bridge pin per direction and per MIDI cable and endpoint";
  ExpectClassifiedByDescriptor(plain);

  CKsAudFilter audio(path.c_str(), &hr);
  ASSERT_EQ(audio.Instantiate(), S_OK);
  EXPECT_EQ(audio.EnumeratePins(), S_OK);
  EXPECT_EQ(audio.GetInSinkPins().GetCount(), shape.render);
  EXPECT_EQ(audio.GetOutSinkPins().GetCount(), shape.capture);
  EXPECT_EQ(audio.GetPins().GetCount(), shape.render + shape.capture) << "bridge pins are not kept";
  for (LONG i = 0; i < audio.GetPins().GetCount(); ++i) {
    auto *pin = static_cast<CKsAudPin *>(audio.GetPins().GetAt(i));
    EXPECT_EQ(pin->GetType(), pin->GetDescriptor().DataFlow == KSPIN_DATAFLOW_IN ? KsPinTypeRender : KsPinTypeCapture);
    EXPECT_TRUE(directks::GuidEquals(pin->GetCategory(), kCategoryAudio));
    EXPECT_EQ(pin->GetDescriptor().CInstances.PossibleCount, 1u);
    EXPECT_GE(pin->GetDataRanges().GetCount(), 1);
    EXPECT_TRUE(pin->HasDataRangeWithSpecifier(&directks::kSpecifierWaveFormatEx));
  }
}

INSTANTIATE_TEST_SUITE_P(Catalog, DriverShapes,
                         ::testing::Values(ShapeCase{"Alder", 1, 1}, ShapeCase{"Maple", 1, 0},
                                           ShapeCase{"Cedar", 0, 1}, ShapeCase{"Larch", 1, 1}),
                         [](const ::testing::TestParamInfo<ShapeCase> &info) { return info.param.model; });

class DriverFilterTest : public DriverMachineTest {
 protected:
  // The plugged model's audio filter, opened and enumerated.
  std::unique_ptr<CKsAudFilter> OpenAudio(const char *model) {
    Plug(model);
    HRESULT hr = E_FAIL;
    auto filter = std::make_unique<CKsAudFilter>(FilterPath().c_str(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(filter->Instantiate(), S_OK);
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    return filter;
  }
};

struct FormatCase {
  const char *name;
  WAVEFORMATEXTENSIBLE format;
  bool render;
  bool capture;
};

WAVEFORMATEXTENSIBLE AsExtensible(const WAVEFORMATEX &format) {
  WAVEFORMATEXTENSIBLE wide = {};
  wide.Format = format;
  return wide;
}

TEST_F(DriverFilterTest, FormatsAreMatchedAgainstTheDriversRanges) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Larch");  // 20 out, 18 in, up to 192 kHz
  const FormatCase cases[] = {
      {"stereo 48k 24-bit", AsExtensible(Pcm(2, 24, 48000)), true, true},
      {"all channels at 192k", AsExtensible(Pcm(18, 32, 192000)), true, true},
      {"20 channels", AsExtensible(Pcm(20, 24, 48000)), true, false},
      {"21 channels", AsExtensible(Pcm(21, 24, 48000)), false, false},
      {"8-bit", AsExtensible(Pcm(2, 8, 48000)), false, false},
      {"32 kHz", AsExtensible(Pcm(2, 24, 32000)), false, false},
      {"extensible PCM", Extensible(2, 32, 96000, directks::kSubtypePcm), true, true},
      {"extensible float", Extensible(2, 32, 96000, directks::WaveTagSubtype(WAVE_FORMAT_IEEE_FLOAT)), false, false},
  };
  for (const FormatCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(filter->FindViableRenPin(&c.format.Format) != nullptr, c.render);
    EXPECT_EQ(filter->FindViableCapPin(&c.format.Format) != nullptr, c.capture);
    EXPECT_EQ(filter->CanCreateRenderPin(&c.format.Format), c.render);
  }
}

TEST_F(DriverFilterTest, ARenderPinIsCreatedRunAndClosedAndCanBeCreatedAgain) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  const WAVEFORMATEX format = Pcm(2, 16, 48000);  // the pins take 16-bit or 24-in-32 samples
  CKsAudPin *pin = filter->CreateRenderPin(&format, 0);
  ASSERT_NE(pin, nullptr);
  EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
  EXPECT_EQ(pin->GetPinConnectSize(), directks::kAudioPinConnectSize);
  EXPECT_EQ(pin->GetDataFormat()->DataFormat.FormatSize, 82u);
  EXPECT_EQ(pin->GetDataFormat()->DataFormat.SampleSize, 4u);
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    EXPECT_EQ(pin->SetState(state), S_OK);
    KSSTATE read = KSSTATE_STOP;
    EXPECT_EQ(pin->GetState(&read), S_OK);
    EXPECT_EQ(read, state);
    EXPECT_EQ(pin->GetCurrentState(), state);
  }
  machine.RunFor(20 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(pin->Reset(), S_OK);
  pin->ClosePin();
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
  EXPECT_EQ(pin->GetCurrentState(), KSSTATE_STOP);
  EXPECT_EQ(filter->CreateRenderPin(&format, 0), pin) << "a closed pin is created again";
  pin->ClosePin();
}

TEST_F(DriverFilterTest, LoopedStreamingIsNotAnInterfaceOfTheDriversPins) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  TraceCapture trace;
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  EXPECT_EQ(filter->CreateRenderPin(&format, 1), nullptr);
  EXPECT_EQ(trace.Messages(), (std::vector<std::string>{"Failed to instantiate pin. hr=0x80070491",
                                                         "Failed to instantiate Render Pin"}))
      << "ks.sys finds no matching interface: ERROR_NO_MATCH as an HRESULT";
}

TEST_F(DriverFilterTest, AnExtensibleFormatTravelsInTheLongerRequest) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 48000, directks::kSubtypePcm);
  format.Samples.wValidBitsPerSample = 24;
  CKsAudPin *pin = filter->CreateCapturePin(&format.Format, 0);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->GetPinConnectSize(), directks::kAudioPinConnectSize + 22);
  EXPECT_EQ(pin->GetDataFormat()->DataFormat.FormatSize, 104u);
  EXPECT_EQ(pin->GetType(), KsPinTypeCapture);
  pin->ClosePin();
}

TEST_F(DriverFilterTest, ASecondInstanceOfAPinOnOneFilterIsRefusedWithTheDriversError) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Maple");
  const WAVEFORMATEX format = Pcm(2, 16, 44100);
  CKsAudPin *pin = filter->CreateRenderPin(&format, 0);
  ASSERT_NE(pin, nullptr);
  HANDLE open = pin->GetHandle();
  TraceCapture trace;
  EXPECT_TRUE(FAILED(pin->Instantiate(0)));
  EXPECT_EQ(pin->GetHandle(), open) << "the open instance is kept";
  ASSERT_FALSE(trace.Messages().empty());
  EXPECT_EQ(trace.Messages()[0].rfind("Failed to instantiate pin. hr=0x8007", 0), 0u) << trace.Messages()[0];
  pin->ClosePin();
}

TEST_F(DriverFilterTest, StandardSetsAnswerTheSupportAndListForms) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  EXPECT_EQ(filter->PropertySetSupport(directks::kPropSetPin), S_OK);
  constexpr GUID kUnknownSet = {0x0badf00d, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(filter->PropertySetSupport(kUnknownSet), E_FAIL);
  ULONG access = 0;
  EXPECT_EQ(filter->PropertyBasicSupport(directks::kPropSetPin, KSPROPERTY_PIN_CTYPES, &access), S_OK);
  EXPECT_TRUE(access & KSPROPERTY_TYPE_GET);
  PUCHAR buffer = nullptr;
  ULONG size = 0;
  ASSERT_EQ(filter->GetPropertyMulti(directks::kPropSetTopology, KSPROPERTY_TOPOLOGY_CATEGORIES, &buffer, &size),
            S_OK);
  ASSERT_NE(buffer, nullptr);
  const auto *list = reinterpret_cast<const KSMULTIPLE_ITEM *>(buffer);
  EXPECT_EQ(list->Size, size);
  ASSERT_EQ(list->Count, 4u);
  const auto *categories = reinterpret_cast<const GUID *>(list + 1);
  EXPECT_TRUE(directks::GuidEquals(categories[3], KSCATEGORY_UacPrivate));
  CKsIrpTarget::FreeBuffer(buffer);
  ASSERT_EQ(filter->EnumerateNodes(), S_OK);
  ASSERT_EQ(filter->GetNodes().GetCount(), 2);
  GUID first = {};
  GUID second = {};
  filter->GetNodes().GetAt(0)->GetType(&first);
  filter->GetNodes().GetAt(1)->GetType(&second);
  EXPECT_TRUE(directks::GuidEquals(first, kNodeDac) || directks::GuidEquals(first, kNodeAdc));
  EXPECT_FALSE(directks::GuidEquals(first, second));
  ULONG value = 0;
  EXPECT_EQ(filter->GetNodePropertySimple(0, directks::kPropSetAudio, KSPROPERTY_AUDIO_VOLUMELEVEL, &value,
                                          sizeof value),
            E_FAIL)
      << "the driver's nodes have no properties";
}

TEST_F(DriverFilterTest, APinReadsAllNineDescriptorPropertiesOrSaysWhichFailed) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  TraceCapture trace(3);
  HRESULT hr = E_FAIL;
  {
    CKsPin pin(filter.get(), 0, &hr);
    EXPECT_EQ(hr, S_OK) << "every query answered";
    EXPECT_EQ(pin.GetDescriptor().InterfacesCount, 1u);
    EXPECT_EQ(pin.GetDescriptor().MediumsCount, 1u);
    EXPECT_EQ(pin.GetDescriptor().DataRangesCount, 2u);
    EXPECT_EQ(pin.GetDescriptor().Communication, static_cast<ULONG>(KSPIN_COMMUNICATION_SINK));
  }
  EXPECT_TRUE(trace.Messages().empty());
  {
    CKsPin pin(filter.get(), 99, &hr);
    EXPECT_EQ(hr, S_FALSE) << "failed queries do not reject the pin";
  }
  EXPECT_EQ(trace.Messages().size(), 9u);
  EXPECT_TRUE(trace.Saw("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 99"));
  EXPECT_TRUE(trace.Saw("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 99"));
}

TEST_F(DriverFilterTest, AnUnknownPathDoesNotOpenAndAnUnpluggedDeviceFailsRequests) {
  TraceCapture trace;
  Plug("Maple");
  HRESULT hr = E_FAIL;
  CKsFilter missing("\\\\?\\usb#vid_0000&pid_0000#none#{00000000-0000-0000-0000-000000000000}\\global", &hr);
  EXPECT_EQ(missing.Instantiate(), E_FAIL);
  ASSERT_EQ(trace.Messages().size(), 1u);
  EXPECT_NE(trace.Messages()[0].find("CreateFile failed for device \\\\?\\usb#vid_0000"), std::string::npos);
  EXPECT_NE(trace.Messages()[0].find("ErrorCode = 0x00000002"), std::string::npos);
  {
    CKsAudFilter filter(FilterPath().c_str(), &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    machine.UnplugDevice(handle, true);
    handle = {};
    ULONG product = 0;
    EXPECT_EQ(filter.GetPropertySimple(KSPROPSETID_UacPrivate, KSPROPERTY_UAC_PRODUCT_ID, &product, sizeof product),
              E_FAIL);
  }
  machine.Pnp().WaitIdle();
}

struct SharedFilter {
  CKsAudFilter *filter;
  ULONG failures;
};

DWORD WINAPI AskPinCounts(LPVOID parameter) {
  auto *shared = static_cast<SharedFilter *>(parameter);
  for (int i = 0; i < 50; ++i) {
    ULONG count = 0;
    HRESULT hr =
        shared->filter->GetPinPropertySimple(0, directks::kPropSetPin, KSPROPERTY_PIN_CTYPES, &count, sizeof count);
    if (FAILED(hr) || count == 0) ++shared->failures;
  }
  return 0;
}

TEST_F(DriverFilterTest, ThreadsSendRequestsOnOneHandleAtTheSameTime) {
  std::unique_ptr<CKsAudFilter> filter = OpenAudio("Alder");
  SharedFilter shared[3] = {{filter.get(), 0}, {filter.get(), 0}, {filter.get(), 0}};
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    threads[i] = CreateThread(nullptr, 0, AskPinCounts, &shared[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, INFINITE), WAIT_OBJECT_0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(shared[i].failures, 0u);
    CloseHandle(threads[i]);
  }
}

}  // namespace
}  // namespace kslibtest
