// `qav watch` prints the driver's events as they are caused: a second
// program on the machine changes the mode and the rate, a clock of the
// device gains or loses lock, and the device goes away, which ends the watch early.
#include <windows.h>

#include <gtest/gtest.h>

#include "command_run.h"
#include "tools/qav/qav_device.h"
#include "uac2common/uac2private.h"
#include "winsim/devices/audio_device.h"
#include "winsim/machine.h"
#include "winsim/usb/control_timing.h"

namespace {

using qavtest::CommandResult;

struct OtherClient {
  winsim::Machine *machine = nullptr;
  qav::PluggedDevice plugged;
  bool unplug = false;
  HANDLE thread = nullptr;
};

constexpr uint8_t kSpdifClock = 0x29;

// What another program does while qav watches, in virtual time.
DWORD WINAPI ChangeSettings(LPVOID parameter) {
  OtherClient *client = static_cast<OtherClient *>(parameter);
  qav::CQavDevice device;
  std::string error;
  if (!device.Open(&error)) return 1;
  Sleep(500);
  device.SetU32(KSPROPERTY_UAC_URB_SIZE, UAC_URB_SIZE_MIXING);
  Sleep(500);
  device.SetU32(KSPROPERTY_UAC_URB_SIZE, UAC_URB_SIZE_MIXING);  // no change, no event
  device.SetU32(KSPROPERTY_UAC_SAMPLE_RATE, 44100);
  Sleep(500);
  // The S/PDIF input gains or loses lock.
  client->plugged.device->SetClockValid(kSpdifClock, !client->plugged.device->ClockValid(kSpdifClock));
  Sleep(500);
  if (client->unplug) client->machine->UnplugDevice(client->plugged.handle, true);
  return 0;
}

struct WatchCase {
  const char *name;
  bool unplug;
  std::vector<std::string> lines;  // the whole output
};

void PrintTo(const WatchCase &c, std::ostream *os) { *os << c.name; }

const WatchCase kWatchCases[] = {
    {"SettingsChange", false,
     {"watching Quorvin Tessarin USB Audio for 3 s", "[   0.500 s] USB performance mode changed: now mixing (5 ms per USB transfer)",
      "[   1.000 s] sample rate changed: now 44100 Hz",
      "[   1.500 s] status interrupt from the device (a clock's validity or a control may have changed)"}},
    {"DeviceGoes", true,
     {"watching Quorvin Tessarin USB Audio for 3 s", "[   0.500 s] USB performance mode changed: now mixing (5 ms per USB transfer)",
      "[   1.000 s] sample rate changed: now 44100 Hz",
      "[   1.500 s] status interrupt from the device (a clock's validity or a control may have changed)",
      "[   2.000 s] device removed"}},
};

class WatchCommandTest : public ::testing::TestWithParam<WatchCase> {};

TEST_P(WatchCommandTest, PrintsEachEventAsItArrives) {
  qavtest::CStateFolder state;
  OtherClient client;
  client.unplug = GetParam().unplug;
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.whilePlugged = [&client](winsim::Machine &machine, const qav::PluggedDevice &plugged) {
    // Requests answered at once: each event is printed at the moment it was caused.
    machine.Bus(plugged.handle.bus)->Controller().SetControlTiming(plugged.handle.port, winsim::usb::ControlTiming::Instant());
    client.machine = &machine;
    client.plugged = plugged;
    client.thread = CreateThread(nullptr, 0, ChangeSettings, &client, 0, nullptr);
    ASSERT_NE(client.thread, nullptr);
  };
  run.afterCommand = [&client](winsim::Machine &) {
    if (client.thread == nullptr) return;
    EXPECT_EQ(WaitForSingleObject(client.thread, 5000), WAIT_OBJECT_0);
    CloseHandle(client.thread);
  };
  const CommandResult result = qavtest::RunCommand(run, qav::RunWatch, {"3"});
  EXPECT_EQ(result.code, 0);
  EXPECT_TRUE(result.err.empty());
  EXPECT_EQ(result.out, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Events, WatchCommandTest, ::testing::ValuesIn(kWatchCases),
                         [](const ::testing::TestParamInfo<WatchCase> &info) { return std::string(info.param.name); });

}  // namespace
