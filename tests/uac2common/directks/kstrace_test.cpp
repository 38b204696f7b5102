// The levelled trace: threshold, sink, the debugger line, the 259-character
// cut, and entry and exit messages at level 6.
#include <gtest/gtest.h>

#include <string>

#include "fake_io.h"
#include "trace_capture.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"

namespace kslibtest {
namespace {

std::vector<std::string> DebuggerLines() {
  std::vector<std::string> lines;
  for (const winsim::LogLine &line : winsim::DebugLog::Snapshot()) {
    if (line.source == "debugger") lines.push_back(line.text);
  }
  return lines;
}

TEST(KsTrace, OnlyLevelsUpToTheThresholdAreEmitted) {
  TraceCapture trace(3);
  KsTrace(1, "one");
  KsTrace(3, "three");
  KsTrace(4, "four");
  EXPECT_EQ(trace.Messages(), (std::vector<std::string>{"one", "three"}));
}

TEST(KsTrace, ByDefaultOnlyErrorsAppear) {
  EXPECT_EQ(KsTraceLevel, 1);
  TraceCapture trace;
  KsTrace(2, "note");
  KsTrace(1, "error %d", 7);
  EXPECT_EQ(trace.Messages(), std::vector<std::string>{"error 7"});
}

TEST(KsTrace, EachMessageIsOneDebuggerLine) {
  winsim::Machine machine;
  winsim::DebugLog::Clear();
  TraceCapture trace;
  KsTrace(1, "first %s", "message");
  KsTrace(1, "second");
  EXPECT_EQ(DebuggerLines(), (std::vector<std::string>{"first message", "second"}));
}

TEST(KsTrace, LongMessagesAreCutAt259Characters) {
  TraceCapture trace;
  const std::string text(300, 'x');
  KsTrace(1, "%s", text.c_str());
  KsTrace(1, "%s", text.substr(0, 259).c_str());
  ASSERT_EQ(trace.Messages().size(), 2u);
  EXPECT_EQ(trace.Messages()[0], text.substr(0, 259));
  EXPECT_EQ(trace.Messages()[1], text.substr(0, 259)) << "exactly 259 fits whole";
}

TEST(KsTrace, OperationsTraceEntryAndExitAtLevelSix) {
  winsim::Machine machine;
  FakeIo io;
  TraceCapture trace(6);
  CKsIrpTarget target(kFakeHandle);
  ULONG value = 0;
  target.GetPropertySimple(directks::kPropSetPin, 1, &value, sizeof value);
  const std::vector<std::string> expected = {
      "CKsIrpTarget::GetPropertySimple() Enter",
      "CKsIrpTarget::SyncIoctl() Enter",
      "CKsIrpTarget::SyncIoctl Leave, returning 00000000",
      "CKsIrpTarget::GetPropertySimple Leave, returning 00000000",
  };
  EXPECT_EQ(trace.Messages(), expected);
  trace.Clear();
  CKsIrpTarget::SyncIoctl(nullptr, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0);
  EXPECT_EQ(trace.Messages().back(), "CKsIrpTarget::SyncIoctl Leave, returning 0x80004005");
  trace.Clear();
  target.Close();
  EXPECT_EQ(trace.Messages().back(), "CKsIrpTarget::Close() Leave") << "no HRESULT: the plain form";
}

}  // namespace
}  // namespace kslibtest
