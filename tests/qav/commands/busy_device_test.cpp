// Commands on a device another program streams through: the rate cannot
// change under an open audio pin, and the refusal names the rate in use.
#include <windows.h>

#include <gtest/gtest.h>

#include "command_run.h"
#include "tools/qav/qav_device.h"
#include "uac2common/directks/ksplatform.h"
#include "winsim/machine.h"

namespace {

struct Streamer {
  HANDLE opened = nullptr;  // set once the pin is open (or failed to open)
  HANDLE thread = nullptr;
  bool ok = false;
};

// Holds a 44.1 kHz render pin open for two seconds of virtual time.
DWORD WINAPI HoldPin(LPVOID parameter) {
  Streamer *streamer = static_cast<Streamer *>(parameter);
  qav::CQavDevice device;
  std::string error;
  CKsAudPin *pin = nullptr;
  if (device.Open(&error)) {
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = 44100;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = 44100 * 4;
    pin = device.Filter().CreateRenderPin(&wave, 0);
  }
  streamer->ok = pin != nullptr;
  SetEvent(streamer->opened);
  Sleep(2000);
  if (pin != nullptr) pin->ClosePin();
  return 0;
}

TEST(BusyDeviceTest, TheRateCannotChangeWhileAnotherProgramHoldsAPin) {
  qavtest::CStateFolder state;
  Streamer streamer;
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.source.name = "Alder";
  run.whilePlugged = [&streamer](winsim::Machine &, const qav::PluggedDevice &) {
    streamer.opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    streamer.thread = CreateThread(nullptr, 0, HoldPin, &streamer, 0, nullptr);
    ASSERT_NE(streamer.thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(streamer.opened, 1000), WAIT_OBJECT_0);
    CloseHandle(streamer.opened);
  };
  run.afterCommand = [&streamer](winsim::Machine &) {
    if (streamer.thread == nullptr) return;
    EXPECT_EQ(WaitForSingleObject(streamer.thread, 5000), WAIT_OBJECT_0);
    CloseHandle(streamer.thread);
  };
  const qavtest::CommandResult result = qavtest::RunCommand(run, qav::RunRate, {"96000"});
  ASSERT_TRUE(streamer.ok) << "the other program's pin opened";
  EXPECT_EQ(result.code, 1);
  ASSERT_EQ(result.err.size(), 1u);
  EXPECT_EQ(result.err[0], "the rate cannot change while an audio stream is open (one runs at 44100 Hz)");
  EXPECT_TRUE(result.out.empty());
}

}  // namespace
