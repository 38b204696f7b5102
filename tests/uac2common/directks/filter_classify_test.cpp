// How filters sort their pins by data flow and communication, and read their
// topology nodes, against a fake filter.
#include <gtest/gtest.h>

#include "fake_io.h"
#include "trace_capture.h"
#include "winsim/machine.h"

namespace kslibtest {
namespace {

class FilterClassifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    io.answer = [this](const IoRequest &request) { return fake.Answer(request); };
    const KSDATARANGE_AUDIO range = AudioRange(2, 16, 24, 44100, 48000);
    fake.pins = {
        AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {range}),     // 0 render
        AudioPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT, {range}),    // 1 capture
        AudioPin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN, {range}),     // 2 bridge
        AudioPin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN, {range}),     // 3
        AudioPin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT, {range}),  // 4
        AudioPin(7, KSPIN_DATAFLOW_OUT, {range}),                           // 5 unknown
    };
  }

  static std::vector<ULONG> Ids(const TList<CKsPin> &pins) {
    std::vector<ULONG> ids;
    for (LONG i = 0; i < pins.GetCount(); ++i) ids.push_back(pins.GetAt(i)->GetId());
    return ids;
  }

  winsim::Machine machine;
  FakeIo io;
  FakeKsFilter fake;
};

using IdList = std::vector<ULONG>;

QAV_DEFINE_GUID(kDac, STATIC_KSNODETYPE_DAC);
QAV_DEFINE_GUID(kAdc, STATIC_KSNODETYPE_ADC);

TEST_F(FilterClassifyTest, ThePlainFilterListsEveryPinByFlowAndCommunication) {
  TraceCapture trace(5);
  FakeFilter<CKsFilter> filter;
  EXPECT_EQ(filter.EnumeratePins(), S_OK);
  EXPECT_EQ(Ids(filter.GetPins()), (IdList{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(Ids(filter.GetInSinkPins()), (IdList{0, 3}));
  EXPECT_EQ(Ids(filter.GetOutSinkPins()), (IdList{1}));
  EXPECT_EQ(Ids(filter.GetNoCommPins()), (IdList{2}));
  EXPECT_EQ(Ids(filter.GetInSourcePins()), (IdList{3})) << "communication both stands in two lists";
  EXPECT_EQ(Ids(filter.GetOutSourcePins()), (IdList{4}));
  EXPECT_TRUE(trace.Saw("Pin communication type not recognized"));
  EXPECT_EQ(filter.GetPins().GetAt(0)->GetType(), KsPinTypePlain);
  EXPECT_EQ(filter.GetPins().GetAt(0)->Instantiate(0), S_OK) << "a plain pin has no connection request";
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter.GetPins().GetAt(0)->GetHandle()));
  EXPECT_EQ(filter.EnumeratePins(), S_OK);
  EXPECT_EQ(filter.GetPins().GetCount(), 6) << "enumerating again starts over";
  EXPECT_EQ(Ids(filter.GetInSinkPins()), (IdList{0, 3}));
}

TEST_F(FilterClassifyTest, TheAudioFilterMakesRenderAndCapturePinsAndSkipsPinsWithoutCommunication) {
  TraceCapture trace;
  FakeFilter<CKsAudFilter> filter;
  EXPECT_EQ(filter.EnumeratePins(), S_OK);
  EXPECT_EQ(Ids(filter.GetPins()), (IdList{0, 1, 3, 4}));
  EXPECT_EQ(filter.GetPins().GetAt(0)->GetType(), KsPinTypeRender);
  EXPECT_EQ(filter.GetPins().GetAt(1)->GetType(), KsPinTypeCapture);
  EXPECT_EQ(filter.GetPins().GetAt(2)->GetType(), KsPinTypePlain);
  EXPECT_TRUE(filter.GetNoCommPins().IsEmpty());
  EXPECT_EQ(Ids(filter.GetInSinkPins()), (IdList{0, 3}));
  EXPECT_EQ(Ids(filter.GetOutSinkPins()), (IdList{1}));
  EXPECT_TRUE(trace.Saw("Pin communication value doesn't make sense"));
  CKsAudPin *capture = nullptr;
  EXPECT_EQ(filter.GetCapturePin(&capture), S_OK);
  EXPECT_EQ(capture->GetId(), 1u);
}

TEST_F(FilterClassifyTest, AFilterWithoutPinsIsNotViable) {
  TraceCapture trace;
  fake.pins.clear();
  FakeFilter<CKsFilter> plain;
  EXPECT_EQ(plain.EnumeratePins(), E_FAIL);
  EXPECT_TRUE(trace.Saw("Filter is not viable. It has no pins."));
  trace.Clear();
  FakeFilter<CKsAudFilter> audio;
  EXPECT_EQ(audio.EnumeratePins(), E_FAIL);
  EXPECT_TRUE(trace.Messages().empty()) << "the audio filter says nothing";
}

TEST_F(FilterClassifyTest, NodesAreReadInOrderAndNoNodesIsNoError) {
  fake.nodes = {kDac, kAdc};
  FakeFilter<CKsFilter> filter;
  ASSERT_EQ(filter.EnumerateNodes(), S_OK);
  ASSERT_EQ(filter.GetNodes().GetCount(), 2);
  GUID type = {};
  filter.GetNodes().GetAt(1)->GetType(&type);
  EXPECT_EQ(filter.GetNodes().GetAt(1)->GetId(), 1u);
  EXPECT_TRUE(directks::GuidEquals(type, kAdc));
  EXPECT_EQ(filter.GetNodes().GetAt(0)->GetCpuResources(), 0x454E4F4Eu);
  fake.nodes.clear();
  EXPECT_EQ(filter.EnumerateNodes(), S_OK);
  EXPECT_TRUE(filter.GetNodes().IsEmpty());
}

TEST_F(FilterClassifyTest, ANodeListLongerThanItsSizeIsRefused) {
  io.answer = [](const IoRequest &request) {
    IoAnswer answer;
    KSMULTIPLE_ITEM list{sizeof(KSMULTIPLE_ITEM) + sizeof(GUID), 5};  // 5 claimed, room for 1
    if (request.outputSize == 0) {
      answer.result = FALSE;
      answer.error = ERROR_MORE_DATA;
      answer.bytes = list.Size;
      return answer;
    }
    answer.output = Bytes(list);
    answer.output.resize(list.Size, 0);
    answer.bytes = list.Size;
    return answer;
  };
  FakeFilter<CKsFilter> filter;
  EXPECT_EQ(filter.EnumerateNodes(), E_FAIL);
  EXPECT_TRUE(filter.GetNodes().IsEmpty());
}

TEST(KsFilterNames, PathsAndFriendlyNamesAreCutTo259Characters) {
  TraceCapture trace;
  const std::string longName(300, 'p');
  HRESULT hr = S_OK;
  CKsFilter filter(longName.c_str(), &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(std::string(filter.GetFilterName()), longName.substr(0, 259));
  EXPECT_EQ(std::string(filter.GetFriendlyName()), "");
  filter.SetFriendlyName(longName.c_str());
  EXPECT_EQ(std::string(filter.GetFriendlyName()), longName.substr(0, 259));
  CKsFilter none(nullptr, &hr);
  EXPECT_EQ(hr, E_INVALIDARG);
  EXPECT_TRUE(trace.Saw("pszName cannot be NULL"));
}

}  // namespace
}  // namespace kslibtest
