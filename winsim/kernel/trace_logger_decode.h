// Reading the logger's buffers: the complete records of one buffer, oldest
// first, and both buffers merged in time order.
#pragma once
#include <cstdint>
#include <vector>

#include "uac2common/tracelog/logger_protocol.h"

namespace winsim {

struct LoggedRecord {
  uint32_t tag;       // buffer the record was read from
  uint64_t sequence;  // its write-counter number in that buffer (from 1)
  TraceRecord record;
};

// The records still held by a buffer whose header and record array are
// given, oldest first. A slot whose flag word is 0 (a record being written)
// is left out; fields are read after the flag word with acquire order, so a
// record taken while writers run is complete unless its slot was reused
// meanwhile (a reader that must exclude that reads a frozen or idle buffer).
std::vector<LoggedRecord> ReadBuffer(const LoggerBufferHeader &header, const TraceRecord *records);

// Records of both buffers in time order (ties: standard buffer first, then
// write order).
std::vector<LoggedRecord> MergeByTime(std::vector<LoggedRecord> standard, const std::vector<LoggedRecord> &realTime);

}  // namespace winsim

namespace winsim {
class TraceLogger;
// Both buffers of the logger, in time order.
std::vector<LoggedRecord> ReadLogger(TraceLogger &logger);
}  // namespace winsim

#include <string>

namespace winsim {
// The record's text through the message catalogue ("unknown message N" for
// an id it does not know).
std::string RecordText(const TraceRecord &record);
// The text of every record of both buffers, in time order.
std::vector<std::string> LoggerTexts(TraceLogger &logger);
}  // namespace winsim
