// The trace-log client without a logger device (the machine has none): the
// open fails, every trace point stays off and writing is harmless; and the
// write request's layout.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "uac2common/asiodriver/asio_trace.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"

namespace {

TEST(AsioTrace, WithoutALoggerTracingStaysOff) {
  winsim::Machine machine;
  EXPECT_EQ(CAsioTraceLog::Open(), kTraceNoLogger);
  const ULONG flags[] = {kAsioTraceEvent, kAsioTraceRefusal, kAsioTraceFailure, kAsioTraceCallback,
                         kTraceLevelFailure, 0};
  for (ULONG word : flags) EXPECT_FALSE(CAsioTraceLog::IsEnabled(word)) << word;
  CAsioTraceLog::Write(kTraceDllAttach, kAsioTraceEvent, 1, 2, 3, 4);
  CAsioTraceLog::Close();  // nothing was open: the count stays at zero
  EXPECT_EQ(CAsioTraceLog::Open(), kTraceNoLogger) << "a later open tries the device again";
}

TEST(AsioTrace, WriteRequestCarriesTagIdFlagsAndArgumentsAtTheirOffsets) {
  LoggerWriteRequest request = CAsioTraceLog::MakeRequest(0x2101, 0x1100, 1, 0x1122334455667788ULL, 3, 4);
  BYTE bytes[sizeof request];
  std::memcpy(bytes, &request, sizeof request);
  auto word = [&](size_t offset) {
    ULONG value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
  };
  auto quad = [&](size_t offset) {
    ULONGLONG value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
  };
  EXPECT_EQ(sizeof request, 56u);
  EXPECT_EQ(std::memcmp(bytes, "STND", 4), 0);
  EXPECT_EQ(word(8), 0x2101u);
  EXPECT_EQ(word(12), 0x1100u);
  EXPECT_EQ(quad(24), 1u);
  EXPECT_EQ(quad(32), 0x1122334455667788ULL);
  EXPECT_EQ(quad(40), 3u);
  EXPECT_EQ(quad(48), 4u);
}

}  // namespace
