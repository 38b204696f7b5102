// controlPanel's flow: the external program, the settings dialog's answer
// and what applying it changes; and the latencies it is all shown with.
#include <string>
#include <vector>

#include "asio_machine.h"
#include "host_recorder.h"
#include "uac2common/asiodriver/asio_panel.h"

namespace asiotest {
namespace {

// The panel steps a test answers; restored when the test ends.
struct PanelScript {
  bool launch = false;
  INT_PTR answer = 2;
  qavasio::AsioPanelSettings choice = {};
  bool change = false;
  std::vector<std::string> lookups;
  std::vector<qavasio::AsioPanelSettings> offered;
  bool objectSetDuringDialog = false;
};

PanelScript *g_script = nullptr;

bool Launch(LPCSTR name, HWND) {
  g_script->lookups.push_back(name);
  return g_script->launch;
}

INT_PTR Dialog(HWND, qavasio::AsioPanelSettings *settings) {
  g_script->offered.push_back(*settings);
  g_script->objectSetDuringDialog = QZUsb2Asio::CurrentObject() != nullptr;
  if (g_script->change) *settings = g_script->choice;
  return g_script->answer;
}

class AsioControlPanel : public AsioMachineTest {
 protected:
  void SetUp() override {
    saved = qavasio::PanelSteps();
    qavasio::PanelSteps() = {Launch, Dialog};
    g_script = &script;
  }
  void TearDown() override {
    qavasio::PanelSteps() = saved;
    g_script = nullptr;
    AsioMachineTest::TearDown();
  }
  // Runs controlPanel with the dialog choosing `mode`, `buffer`, `rate`.
  void Choose(uint32_t mode, uint32_t buffer, uint32_t rate, INT_PTR answer = 1) {
    script.change = true;
    script.choice = {mode, buffer, rate};
    script.answer = answer;
    EXPECT_EQ(asio->controlPanel(), ASE_OK);
    EXPECT_EQ(QZUsb2Asio::CurrentObject(), nullptr);
  }
  LONG Latency() {
    LONG input = -1, output = -2;
    EXPECT_EQ(asio->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, output);
    return input;
  }

  qavasio::AsioPanelSteps saved;
  PanelScript script;
  HostRecorder host;
};

TEST_F(AsioControlPanel, ExternalProgramTakesOverTheDialog) {
  Plug("Alder");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  script.launch = true;
  EXPECT_EQ(asio->controlPanel(), ASE_OK);
  ASSERT_EQ(script.lookups.size(), 1u);
  EXPECT_NE(script.lookups[0].find("usb#vid_2b5a&pid_8000"), std::string::npos) << script.lookups[0];
  EXPECT_TRUE(script.offered.empty());
}

TEST_F(AsioControlPanel, DialogIsOfferedTheCurrentSettings) {
  Plug("Alder");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  EXPECT_EQ(asio->controlPanel(), ASE_OK);
  ASSERT_EQ(script.offered.size(), 1u);
  EXPECT_TRUE(script.objectSetDuringDialog);
  EXPECT_EQ(script.offered[0].bufferSize, 256u);
  EXPECT_EQ(script.offered[0].sampleRate, 48000u);
  EXPECT_NE(script.offered[0].performanceMode, 0u);
}

TEST_F(AsioControlPanel, WithoutDeviceTheDialogStillRuns) {
  NewDriver();
  EXPECT_EQ(asio->init(nullptr), ASIOFalse);
  EXPECT_EQ(asio->controlPanel(), ASE_OK);
  ASSERT_EQ(script.lookups.size(), 1u);
  EXPECT_EQ(script.lookups[0], "");
  ASSERT_EQ(script.offered.size(), 1u);
  EXPECT_EQ(script.offered[0].performanceMode, 10u);
  EXPECT_EQ(script.offered[0].sampleRate, 44100u);
}

TEST_F(AsioControlPanel, CancelAppliesNothingOkAlwaysAsksForAReset) {
  Plug("Alder");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  ASIOBufferInfo info = {ASIOFalse, 0, {nullptr, nullptr}};
  ASSERT_EQ(asio->createBuffers(&info, 1, 256, host.Callbacks()), ASE_OK);

  Choose(5, 512, 96000, 2);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0) << "cancelled";
  LONG minSize, maxSize, preferred = 0, granularity;
  asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  EXPECT_EQ(preferred, 256);
  EXPECT_EQ(host.Messages(kAsioResetRequest), 0u);

  script.change = false;
  script.answer = 1;
  EXPECT_EQ(asio->controlPanel(), ASE_OK);
  EXPECT_EQ(host.Messages(kAsioResetRequest), 1u) << "OK with nothing changed still resets";
}

TEST_F(AsioControlPanel, OkAppliesRateBufferSizeAndMode) {
  Plug("Alder");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  Choose(5, 512, 96000);
  // The rate waits for the next pin opening.
  ASIOSampleRate rate = 0;
  EXPECT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0);
  LONG minSize, maxSize, preferred = 0, granularity;
  asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  EXPECT_EQ(preferred, 512);
  // Mode 5 at 96 kHz, model offset 40, no buffers: 480 + 192 + 80.
  EXPECT_EQ(Latency(), (480 + 192 + 80 + 1) / 2);

  ASIOBufferInfo info = {ASIOFalse, 0, {nullptr, nullptr}};
  ASSERT_EQ(asio->createBuffers(&info, 1, 512, host.Callbacks()), ASE_OK);
  EXPECT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0) << "the pins opened at the chosen rate";
  // ceil(3 x 480 / 512) = 3 buffers in flight, plus one.
  EXPECT_EQ(Latency(), (480 + 192 + 80 + 4 * 512 + 1) / 2);
  script.change = false;
  EXPECT_EQ(asio->controlPanel(), ASE_OK);
  EXPECT_EQ(script.offered.back().performanceMode, 5u) << "the device kept the mode";
}

struct OffsetCase {
  std::vector<const char *> models;
  uint32_t offset;
};

TEST_F(AsioControlPanel, LatencyUsesTheModelOffsetOfASingleDevice) {
  const OffsetCase cases[] = {{{"Alder"}, 40}, {{"Larch"}, 138}, {{"Rowan"}, 121}, {{"Alder", "Rowan"}, 59}};
  for (const OffsetCase &c : cases) {
    SCOPED_TRACE(c.models.size() == 1 ? c.models[0] : "two devices");
    for (const char *model : c.models) Plug(model);
    NewDriver();
    ASSERT_EQ(asio->init(nullptr), ASIOTrue);
    Choose(3, 256, 48000);
    // e = 144, l = 96, before any buffers.
    EXPECT_EQ(Latency(), static_cast<LONG>((144 + 96 + 2 * c.offset + 1) / 2));
    ReleaseDriver();
    while (Plugged() > 0) Unplug(0, false);
  }
}

}  // namespace
}  // namespace asiotest
