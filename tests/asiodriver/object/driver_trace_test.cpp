// The driver object's trace records on a machine with the logger: a host's
// session (init, buffers, start, a rate change, an overload, a device that
// goes away) read back from the logger as catalogue texts, in order.
#include <optional>
#include <string>
#include <vector>

#include "asio_machine.h"
#include "host_recorder.h"
//
#include "uac2common/asiodriver/asio_trace.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"

namespace asiotest {
namespace {

// Machines made while it lives have the logger (it must be constructed
// before the fixture's machine).
struct LoggerOnEveryMachine {
  LoggerOnEveryMachine() { winsim::SetDefaultTraceLogger(winsim::TraceLoggerOptions{}); }
  ~LoggerOnEveryMachine() { winsim::SetDefaultTraceLogger(std::nullopt); }
};

class AsioDriverTrace : private LoggerOnEveryMachine, public AsioMachineTest {
 protected:
  void SetUp() override { ASSERT_EQ(CAsioTraceLog::Open(), 0); }
  void TearDown() override {
    AsioMachineTest::TearDown();
    CAsioTraceLog::Close();
  }

  // The texts of the ASIO driver's records (the kernel driver writes into
  // the same buffer).
  std::vector<std::string> AsioTexts() {
    std::vector<std::string> texts;
    for (const winsim::LoggedRecord &logged : winsim::ReadLogger(*machine.TraceLog())) {
      if ((logged.record.Flags & kTraceAreaUserMode) != 0) texts.push_back(winsim::RecordText(logged.record));
    }
    return texts;
  }

  HostRecorder host;
};

TEST_F(AsioDriverTrace, AHostSessionReadsBackInOrder) {
  Plug("Alder");
  NewDriver();
  ASSERT_EQ(asio->start(), ASE_InvalidMode);
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  LONG inputs = 0, outputs = 0;
  ASSERT_EQ(asio->getChannels(&inputs, &outputs), ASE_OK);
  std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 0, {nullptr, nullptr}}, {ASIOFalse, 0, {nullptr, nullptr}}};
  ASSERT_EQ(asio->createBuffers(infos.data(), 2, 256, host.Callbacks()), ASE_OK);
  ASSERT_EQ(asio->createBuffers(infos.data(), 2, 256, host.Callbacks()), ASE_InvalidParameter);
  ASSERT_EQ(asio->setSampleRate(48000), ASE_OK);
  host.onSwitch = [](uint32_t number) {
    if (number == 30) Sleep(300);  // time enough for the capture data to run over
  };
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(80, 3000));
  host.onSwitch = nullptr;
  ASSERT_EQ(asio->setSampleRate(96000), ASE_OK);
  ASSERT_EQ(asio->stop(), ASE_OK);
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(host.Switches() + 10, 2000));
  Unplug(0, true);
  Sleep(3000);
  EXPECT_EQ(asio->stop(), ASE_OK);
  EXPECT_EQ(asio->disposeBuffers(), ASE_OK);
  ReleaseDriver();

  const std::string channels = std::to_string(inputs) + " inputs, " + std::to_string(outputs) + " outputs";
  const std::vector<std::string> expected = {
      "start: -997",  // ASE_InvalidMode: no buffers yet
      "init: 1 devices, " + channels,
      "host message 7 answered 0",  // kAsioSupportsTimeInfo
      "createBuffers: 2 channels of 256 samples",
      "createBuffers of 2 channels, 256 samples refused: -998",  // ASE_InvalidParameter
      "start: 0",
      "overload 1: the devices' data ran over",
      "host message 15 answered 0",  // kAsioOverload
      "sample rate 96000 Hz asked for: 0, running at 96000 Hz",
      "stop",
      "start: 0",
      "streaming ended: the devices stopped delivering; reset requested",
      "host message 3 answered 0",  // kAsioResetRequest
      "stop",                       // the host's, after the thread ended on its own
  };
  EXPECT_EQ(AsioTexts(), expected);
}

TEST_F(AsioDriverTrace, InitWithoutADeviceIsARefusal) {
  NewDriver();
  EXPECT_EQ(asio->init(nullptr), ASIOFalse);
  EXPECT_EQ(AsioTexts(), std::vector<std::string>{"init failed: 0 devices found"});
}

}  // namespace
}  // namespace asiotest
