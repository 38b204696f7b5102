#include "winsim/kernel/trace_logger_decode.h"

#include <algorithm>

namespace winsim {

std::vector<LoggedRecord> ReadBuffer(const LoggerBufferHeader &header, const TraceRecord *records) {
  const uint64_t written = __atomic_load_n(&header.WriteCounter, __ATOMIC_ACQUIRE);
  const uint64_t count = uint64_t{header.IndexMask} + 1;
  const uint64_t first = written > count ? written - count : 0;
  std::vector<LoggedRecord> out;
  out.reserve(written - first);
  for (uint64_t n = first; n < written; ++n) {
    const TraceRecord &slot = records[n & header.IndexMask];
    LoggedRecord logged{header.Tag, n + 1, {}};
    logged.record.Flags = __atomic_load_n(&slot.Flags, __ATOMIC_ACQUIRE);
    if (logged.record.Flags == 0) continue;
    logged.record.MessageId = __atomic_load_n(&slot.MessageId, __ATOMIC_RELAXED);
    logged.record.InterruptTime = __atomic_load_n(&slot.InterruptTime, __ATOMIC_RELAXED);
    for (uint32_t i = 0; i < kTraceRecordArguments; ++i) {
      logged.record.Arguments[i] = __atomic_load_n(&slot.Arguments[i], __ATOMIC_RELAXED);
    }
    out.push_back(logged);
  }
  return out;
}

std::vector<LoggedRecord> MergeByTime(std::vector<LoggedRecord> standard, const std::vector<LoggedRecord> &realTime) {
  const size_t middle = standard.size();
  standard.insert(standard.end(), realTime.begin(), realTime.end());
  auto byTime = [](const LoggedRecord &a, const LoggedRecord &b) {
    return a.record.InterruptTime < b.record.InterruptTime;
  };
  // Each buffer is in write order; times may step back within one when two
  // processors wrote at once, so sort rather than merge.
  std::stable_sort(standard.begin(), standard.begin() + static_cast<std::ptrdiff_t>(middle), byTime);
  std::stable_sort(standard.begin() + static_cast<std::ptrdiff_t>(middle), standard.end(), byTime);
  std::inplace_merge(standard.begin(), standard.begin() + static_cast<std::ptrdiff_t>(middle), standard.end(), byTime);
  return standard;
}

}  // namespace winsim

#include "winsim/kernel/trace_logger.h"

namespace winsim {

std::vector<LoggedRecord> ReadLogger(TraceLogger &logger) {
  return MergeByTime(ReadBuffer(logger.Standard(), logger.Records(logger.Standard())),
                     ReadBuffer(logger.RealTime(), logger.Records(logger.RealTime())));
}

}  // namespace winsim

#include "uac2common/tracelog/trace_text.h"

namespace winsim {

std::string RecordText(const TraceRecord &record) {
  const TraceCatalogEntry *entry = FindTraceMessage(record.MessageId);
  if (entry == nullptr) return "unknown message " + std::to_string(record.MessageId);
  return tracetext::Format(entry->text, record.Arguments, kTraceRecordArguments);
}

std::vector<std::string> LoggerTexts(TraceLogger &logger) {
  std::vector<std::string> texts;
  for (const LoggedRecord &logged : ReadLogger(logger)) texts.push_back(RecordText(logged.record));
  return texts;
}

}  // namespace winsim
