// `qav midi` on the simulated machine: the pins it lists and names, what a
// send brings to the device's OUT jack, what the monitor reads from the
// injected sequence, and the one-line refusals of bad requests.
#include <gtest/gtest.h>

#include "tools/qav/host_midi.h"

namespace {

qav::MidiOutcome RunMidi(const char *model, std::vector<std::string> words) {
  qav::MidiRequest request;
  std::string error;
  EXPECT_TRUE(qav::ParseMidiRequest(words, &request, &error)) << error;
  return qav::RunMidiRequest(qav::SimSource{model, false}, request);
}

bool Has(const std::vector<std::string> &lines, const std::string &text) {
  for (const std::string &line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(MidiCommandTest, ListNamesThePinsOfEachCableWhenThereAreSeveral) {
  const qav::MidiOutcome larch = RunMidi("Larch", {"list"});
  ASSERT_TRUE(larch.ok) << larch.error;
  ASSERT_EQ(larch.lines.size(), 4u);
  EXPECT_EQ(larch.lines[0].rfind("pin 4: render cable 0, \"", 0), 0u) << larch.lines[0];
  EXPECT_TRUE(Has(larch.lines, ": Port 2\"")) << "the second cable's pins carry the cable number + 1";
  const qav::MidiOutcome rowan = RunMidi("Rowan", {"list"});
  ASSERT_TRUE(rowan.ok) << rowan.error;
  ASSERT_EQ(rowan.lines.size(), 2u);
  EXPECT_TRUE(Has(rowan.lines, "no name")) << "one pin per direction goes unnamed";
}

TEST(MidiCommandTest, SendShowsThePacketsTheOutJackReceived) {
  const qav::MidiOutcome sent = RunMidi("Rowan", {"send", "0", "F0", "7E7F", "09", "01", "f7"});
  ASSERT_TRUE(sent.ok) << sent.error;
  EXPECT_TRUE(Has(sent.lines, "received 2 USB-MIDI packets"));
  EXPECT_TRUE(Has(sent.lines, "04 F0 7E 7F   cable 0, CIN 4: F0 7E 7F"));
  EXPECT_TRUE(Has(sent.lines, "07 09 01 F7   cable 0, CIN 7: 09 01 F7"));
  EXPECT_EQ(sent.lines.back(), "the messages arrived as written");
  const qav::MidiOutcome running = RunMidi("Larch", {"send", "1", "90", "3C", "64", "3E", "64"});
  ASSERT_TRUE(running.ok) << running.error;
  EXPECT_TRUE(Has(running.lines, "19 90 3E 64   cable 1, CIN 9: 90 3E 64")) << "running status spelled out";
  EXPECT_EQ(running.lines.back(), "the messages arrived as written");
}

TEST(MidiCommandTest, MonitorPrintsTheSequenceWithTimeDeltas) {
  const qav::MidiOutcome seen = RunMidi("Rowan", {"monitor", "1"});
  ASSERT_TRUE(seen.ok) << seen.error;
  EXPECT_EQ(seen.lines[0].rfind("input: a built-in sequence", 0), 0u) << seen.lines[0];
  size_t messages = 0;
  for (const std::string &line : seen.lines) messages += line.rfind("  [", 0) == 0 ? 1 : 0;
  EXPECT_EQ(messages, 8u) << "a note on and off every 250 ms for a second";
  EXPECT_TRUE(Has(seen.lines, "90 3C 64  note on, channel 1"));
  EXPECT_TRUE(Has(seen.lines, "+100 ")) << "the note off 100 ms after its note on";
  EXPECT_TRUE(Has(seen.lines, "+150 ")) << "the next note on 150 ms after that";
}

struct BadRequest {
  std::vector<std::string> words;
  const char *error;
};

TEST(MidiCommandTest, BadRequestsAreRefusedWithOneLine) {
  const BadRequest cases[] = {
      {{}, "usage: qav midi list"},
      {{"send", "0"}, "usage: qav midi send CABLE HEX..."},
      {{"send", "16", "90"}, "cable '16' is not a number from 0 to 15"},
      {{"send", "0", "9"}, "'9' is not a whole number of hex bytes (two digits each)"},
      {{"send", "0", "9G"}, "'9G' is not hex"},
      {{"monitor", "0"}, "seconds '0' is not a number from 1 to 600"},
      {{"list", "x"}, "usage: qav midi list"},
  };
  for (const BadRequest &c : cases) {
    qav::MidiRequest request;
    std::string error;
    EXPECT_FALSE(qav::ParseMidiRequest(c.words, &request, &error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  const qav::MidiOutcome noCable = RunMidi("Rowan", {"send", "3", "90", "3C", "64"});
  EXPECT_FALSE(noCable.ok);
  EXPECT_EQ(noCable.error, "the interface has no MIDI OUT cable 3");
  const qav::MidiOutcome noMidi = RunMidi("Maple", {"list"});
  EXPECT_FALSE(noMidi.ok);
  EXPECT_EQ(noMidi.error.rfind("the interface has no MIDI pins", 0), 0u) << noMidi.error;
}

}  // namespace
