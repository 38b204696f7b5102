// qav's device commands on the host: each one's output and exit code on a
// simulated machine with the driver installed from its INF, reached through
// the KS client library as on Windows.
#include <gtest/gtest.h>

#include <algorithm>

#include "command_run.h"
#include "winsim/machine.h"

namespace {

using qavtest::CommandResult;
using qavtest::RunCommand;

struct OutputCase {
  const char *name;
  const char *model;
  qav::DeviceCommandFn command;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> lines;  // each one a whole line of the output, in this order
  const char *error;               // a part of the one error line; null: no error line
};

void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.name; }

const OutputCase kOutputCases[] = {
    {"ListNamesPathPinsAndFormats", "Larch", qav::RunList, {}, 0,
     {"device 0: Quorvin Tessarin USB Audio",
      "  path: \\\\?\\usb#vid_2b5a&pid_8014#qv8014001788#{68b99396-c72f-40cb-a109-3a1da52cd699}\\global",
      "  pin 0: render, streaming, 20 ch, 16-32 bit, 44100-192000 Hz", "  pin 1: bridge out, analog",
      "  pin 2: capture, streaming, 18 ch, 16-32 bit, 44100-192000 Hz", "  pin 4: render, streaming, MIDI",
      "  pin 5: bridge out, MIDI bus"},
     nullptr},
    {"ModeReadsTheDefault", "Larch", qav::RunMode, {}, 0,
     {"mode: balanced (3 ms per USB transfer; this machine sustains 1 ms and more)"}, nullptr},
    {"ModeSetsMixing", "Larch", qav::RunMode, {"mixing"}, 0,
     {"mode: mixing (5 ms per USB transfer; this machine sustains 1 ms and more)"}, nullptr},
    {"ModeSetsRecording", "Larch", qav::RunMode, {"recording"}, 0,
     {"mode: recording (1 ms per USB transfer; this machine sustains 1 ms and more)"}, nullptr},
    // Without a render stream the driver has nothing to measure: its
    // minimum stays at the default, and the refusal says so in words.
    {"ModeBelowTheMinimumIsExplained", "Cedar", qav::RunMode, {"recording"}, 1, {},
     "recording mode needs 1 ms per USB transfer, but the driver takes no less than 3 ms on this machine"},
    {"RateReadsTheClock", "Larch", qav::RunRate, {}, 0,
     {"rate: 48000 Hz", "rates of the clock: 44100, 48000, 88200, 96000, 176400, 192000"}, nullptr},
    {"RateSetsOneOfTheClocksRates", "Larch", qav::RunRate, {"96000"}, 0, {"rate: 96000 Hz"}, nullptr},
    {"RateRefusesOneTheClockLacks", "Alder", qav::RunRate, {"192000"}, 1, {},
     "192000 Hz is not a rate of the device's clock: 44100, 48000, 88200, 96000"},
    {"ClockListsSourcesWithValidity", "Larch", qav::RunClock, {}, 0,
     {"* 0: Internal (clock 0x28, internal programmable, valid)", "  1: S/PDIF (clock 0x29, external, not reported valid)",
      "  2: ADAT (clock 0x2A, external, not reported valid)"},
     nullptr},
    {"ClockSelectsASource", "Larch", qav::RunClock, {"2"}, 0,
     {"  0: Internal (clock 0x28, internal programmable, valid)", "* 2: ADAT (clock 0x2A, external, not reported valid)"},
     nullptr},
    {"ClockWithoutSelectorIsTheOneInUse", "Alder", qav::RunClock, {}, 0,
     {"* 0: Internal (clock 0x28, internal programmable, valid)"}, nullptr},
    {"ClockRefusesANumberTheDeviceLacks", "Larch", qav::RunClock, {"3"}, 1, {},
     "the device has no clock source 3 (it has 3, numbered from 0)"},
    {"DescriptorsDecodedFromTheDriver", "Larch", qav::RunDescriptors, {}, 0,
     {"Device: USB 2.00, class EF/02/01, VID 2B5A PID 8014 rev 3.10, max packet 64, 1 configuration(s)",
      "  manufacturer \"Quorvin\", product \"Tessarin Larch\", serial \"QV8014001788\"",
      "Configuration 1: 4 interface(s), wTotalLength 614, attributes 0x80, 500 mA",
      "    Clock Selector 0x30: inputs 0x28 0x29 0x2A \"Clock Selector\"",
      "  Interface 3 alt 0: MIDI Streaming (01/03/00), 2 endpoints"},
     nullptr},
    {"TimingOfARenderStream", "Larch", qav::RunTiming, {}, 0,
     {"stream: render pin 0, 20 ch, 48000 Hz, 16-bit, 1 s, 3 ms per USB transfer", "transfers completed: 330",
      "frames late  transfers", "         0         330", "late by a frame or more: 0"},
     nullptr},
    {"TimingOfACaptureOnlyDevice", "Cedar", qav::RunTiming, {"2"}, 0,
     {"stream: capture pin 0, 8 ch, 48000 Hz, 16-bit, 2 s, 3 ms per USB transfer"}, nullptr},
    {"WatchWithNothingHappening", "Larch", qav::RunWatch, {"3"}, 0,
     {"watching Quorvin Tessarin USB Audio for 3 s"}, nullptr},
    // A device of another vendor gets no driver: nothing to list, nothing
    // to talk to.
    {"ListWithoutADevice", "Ivy", qav::RunList, {}, 0, {"no QavAudio device is present"}, nullptr},
    {"ModeWithoutADevice", "Ivy", qav::RunMode, {}, 1, {}, "no QavAudio device is present"},
    {"DescriptorsWithoutADevice", "Ivy", qav::RunDescriptors, {}, 1, {}, "no QavAudio device is present"},
};

class DeviceCommandTest : public ::testing::TestWithParam<OutputCase> {
 protected:
  qavtest::CStateFolder state;
};

TEST_P(DeviceCommandTest, PrintsWhatTheDriverSays) {
  const OutputCase &c = GetParam();
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.source.name = c.model;
  const CommandResult result = RunCommand(run, c.command, c.args);
  EXPECT_EQ(result.code, c.code) << result.Out();
  if (c.error == nullptr) {
    EXPECT_TRUE(result.err.empty()) << result.err.front();
  } else {
    ASSERT_EQ(result.err.size(), 1u) << "one error line";
    EXPECT_NE(result.err[0].find(c.error), std::string::npos) << result.err[0];
    EXPECT_TRUE(result.out.empty()) << result.Out();
  }
  size_t from = 0;
  for (const std::string &line : c.lines) {
    auto found = std::find(result.out.begin() + static_cast<ptrdiff_t>(from), result.out.end(), line);
    ASSERT_NE(found, result.out.end()) << "missing or out of order: " << line << "\n" << result.Out();
    from = static_cast<size_t>(found - result.out.begin()) + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, DeviceCommandTest, ::testing::ValuesIn(kOutputCases),
                         [](const ::testing::TestParamInfo<OutputCase> &info) { return std::string(info.param.name); });

struct ArgumentCase {
  qav::DeviceCommandFn command;
  const char *arg;
  const char *error;  // a part of the error line
};

// Refused before the device is opened: exit code 2 and one line.
TEST(DeviceCommandArgumentTest, InvalidArgumentsAreOneLineAndExitCodeTwo) {
  const ArgumentCase cases[] = {
      {qav::RunMode, "fast", "unknown mode 'fast': choose recording, balanced or mixing"},
      {qav::RunMode, "Mixing", "unknown mode"},
      {qav::RunMode, "3", "unknown mode"},
      {qav::RunRate, "48k", "'48k' is not a sample rate in Hz"},
      {qav::RunRate, "-48000", "not a sample rate"},
      {qav::RunRate, "0", "not a sample rate"},
      {qav::RunRate, "4294967344", "not a sample rate"},  // 2^32 + 48000 must not wrap to 48000
      {qav::RunRate, "", "not a sample rate"},
      {qav::RunClock, "one", "'one' is not a clock source number (0 to 15"},
      {qav::RunClock, "16", "not a clock source number"},
      {qav::RunTiming, "0", "'0' is not a number of seconds from 1 to 60"},
      {qav::RunTiming, "61", "from 1 to 60"},
      {qav::RunWatch, "1.5", "'1.5' is not a number of seconds from 1 to 86400"},
      {qav::RunWatch, "86401", "from 1 to 86400"},
  };
  for (const ArgumentCase &c : cases) {
    SCOPED_TRACE(c.arg);
    qavtest::CStateFolder state;
    const CommandResult result = RunCommand(qavtest::DefaultRun(state.Path()), c.command, {c.arg});
    EXPECT_EQ(result.code, 2);
    ASSERT_EQ(result.err.size(), 1u);
    EXPECT_NE(result.err[0].find(c.error), std::string::npos) << result.err[0];
    EXPECT_TRUE(result.out.empty());
  }
}

// A machine whose USB completions run 4 ms late: the driver measures a
// minimum of 4 ms, so the two shorter modes are refused with the reason and
// the mode that still fits, and the mode stays what it was.
TEST(ModeCommandTest, ASlowMachineRefusesTheShortModesInWords) {
  qavtest::CStateFolder state;
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.beforePlug = [](winsim::Machine &machine) {
    machine.Bus(1)->Controller().SetCompletionLatency([](std::mt19937 &) { return winsim::VTime{32000}; });
  };
  for (const char *mode : {"recording", "balanced"}) {
    SCOPED_TRACE(mode);
    const CommandResult refused = RunCommand(run, qav::RunMode, {mode});
    EXPECT_EQ(refused.code, 1);
    ASSERT_EQ(refused.err.size(), 1u);
    EXPECT_NE(refused.err[0].find("but the driver takes no less than 4 ms on this machine"), std::string::npos)
        << refused.err[0];
    EXPECT_NE(refused.err[0].find(": choose mixing"), std::string::npos) << refused.err[0];
  }
  const CommandResult now = RunCommand(run, qav::RunMode);
  EXPECT_EQ(now.Out(), "mode: custom (4 ms per USB transfer; this machine sustains 4 ms and more)\n")
      << "the driver raised the mode to its minimum at start";
  EXPECT_EQ(RunCommand(run, qav::RunMode, {"mixing"}).code, 0);
}

TEST(SimSourceTest, AnUnknownSimulatedInterfaceIsOneLine) {
  qavtest::CStateFolder state;
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.source.name = "NoSuchModel";
  const CommandResult result = RunCommand(run, qav::RunList);
  EXPECT_EQ(result.code, 2);
  ASSERT_EQ(result.err.size(), 1u);
  EXPECT_EQ(result.err[0], "no simulated model and no readable file named 'NoSuchModel'; try: qav models");
}

// USB completions that run 4 ms late land 3 frames after the frame that
// ends their transfer: every transfer in bucket 3, all of them counted late.
TEST(TimingCommandTest, LateCompletionsFillTheirBucket) {
  qavtest::CStateFolder state;
  qav::HostRun run = qavtest::DefaultRun(state.Path());
  run.beforePlug = [](winsim::Machine &machine) {
    machine.Bus(1)->Controller().SetCompletionLatency([](std::mt19937 &) { return winsim::VTime{32000}; });
  };
  const CommandResult result = RunCommand(run, qav::RunTiming);
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.Out(),
            "stream: render pin 0, 20 ch, 48000 Hz, 16-bit, 1 s, 4 ms per USB transfer\n"
            "transfers completed: 246\n"
            "frames late  transfers\n"
            "         3         246\n"
            "late by a frame or more: 246\n");
}

}  // namespace
