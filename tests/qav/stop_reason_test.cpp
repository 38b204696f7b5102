// The words for where the driver's start stopped come from its own traces.
#include <gtest/gtest.h>

#include "tools/qav/stop_reason.h"

namespace {

TEST(StopReason, TheDriversTracesBecomeWords) {
  const struct {
    uint32_t status;
    std::vector<std::string> traces;
    bool started;
    const char *reason;
  } cases[] = {
      {0xC00000BB, {"vendor 0d8c not served", "post start c00000bb: rate 0, UrbSize 3 (minimum 3)"}, false,
       "stopped (STATUS_NOT_SUPPORTED): the driver does not serve vendor id 0D8C"},
      {0xC00000A3,
       {"AudioControl interface 1: no class 2.0 AudioStreaming interface follows it",
        "no AudioControl interface of the audio function"},
       false, "stopped (STATUS_DEVICE_NOT_READY): no AudioStreaming interface follows the AudioControl interface at position 1"},
      {0xC00000A3, {"no AudioControl interface of the audio function"}, false,
       "the configuration has no class 2.0 AudioControl interface followed by an AudioStreaming interface"},
      {0xC0000001, {"clock 0x28: sampling frequency not read c0000001"}, false,
       "the clock 0x28 refuses sampling-frequency requests (STATUS_UNSUCCESSFUL)"},
      {0xC00000A3, {"clock 0x00: sampling frequency not read c00000a3"}, false,
       "names no clock source the driver can address"},
      {0xC0000001, {"SELECT_INTERFACE 2/1 attempt 3 failed c0000001"}, false,
       "the device refuses alternate setting 1 of interface 2"},
      // Nothing the words know: the status and the driver's last trace before it.
      {0xC000009A, {"something else happened", "post start c000009a: rate 0"}, false,
       "stopped (STATUS_INSUFFICIENT_RESOURCES); the driver's last word before it: something else happened"},
      {0x0, {"render stream: interface 1 alternate setting 1, 2 channels x 3 bytes, endpoint 01, feedback 00"}, true,
       "started: render stream: interface 1"},
      {0x0, {}, true, "started: no audio streams"},
      // A trace that only looks like a known one is not taken for it.
      {0xC0000001, {"vendor 0d8c not served today"}, false, "stopped (STATUS_UNSUCCESSFUL); the driver's last word"},
  };
  for (const auto &c : cases) {
    qav::StartVerdict verdict = qav::ExplainStart(c.status, c.traces);
    EXPECT_EQ(verdict.started, c.started) << verdict.reason;
    EXPECT_NE(verdict.reason.find(c.reason), std::string::npos) << verdict.reason;
  }
}

TEST(StopReason, PassedOverInterfacesAreNotedBesideTheVerdict) {
  qav::StartVerdict verdict = qav::ExplainStart(
      0, {"interface 2 (subclass 1, protocol 00) is not of audio class 2.0: passed over", "render stream: x"});
  ASSERT_EQ(verdict.notes.size(), 1u);
  EXPECT_EQ(verdict.notes[0], "interface 2 (audio subclass 1, protocol 00) is not of audio class 2.0: passed over");
}

}  // namespace
