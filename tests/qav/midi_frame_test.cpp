// A MIDI capture frame read back is believed only as far as it holds bytes:
// neither its record's byte count nor the header's DataUsed may take the
// reader past the frame.
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tools/qav/midi_pin_io.h"

namespace {

struct FrameCase {
  const char *what;
  ULONG byteCount;  // the record's claim
  ULONG dataUsed;   // the header's
  size_t frameSize;
  std::vector<uint8_t> expected;
};

TEST(MidiFrame, ARecordIsReadOnlyAsFarAsTheFrameHoldsIt) {
  const FrameCase cases[] = {
      {"a note", 3, 12, 64, {0x90, 0x3C, 0x64}},
      {"a count past DataUsed", 40, 12, 64, {0x90, 0x3C, 0x64, 0x00}},
      {"a count past the frame", 1000, 1000, 16, {0x90, 0x3C, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"DataUsed shorter than a record", 3, 7, 64, {}},
      {"a frame shorter than a record", 3, 12, 4, {}},
  };
  for (const FrameCase &c : cases) {
    SCOPED_TRACE(c.what);
    alignas(8) uint8_t frame[64] = {};
    const KSMUSICFORMAT music{25, c.byteCount};
    std::memcpy(frame, &music, sizeof music);
    frame[8] = 0x90;
    frame[9] = 0x3C;
    frame[10] = 0x64;
    qav::MidiRecord record;
    record.bytes = {0xFF};
    qav::DecodeMidiFrame(frame, c.frameSize, c.dataUsed, &record);
    EXPECT_EQ(record.bytes, c.expected);
    EXPECT_EQ(record.timeDeltaMs, c.expected.empty() ? 0u : 25u);
  }
}

}  // namespace
