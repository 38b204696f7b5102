// The machine's debug output: DbgPrint, bug checks and winsim's own notes,
// each line stamped with virtual time and the thread that wrote it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

struct LogLine {
  int64_t time;  // virtual time, 100 ns units
  std::string thread;
  std::string source;
  std::string text;
};

class DebugLog {
 public:
  static void Append(const std::string &source, const std::string &text);
  static std::vector<LogLine> Snapshot();
  static void Clear();
  // Echo every line to stderr as it is written (for interactive runs).
  static void SetEcho(bool echo);
  // Lines of the log whose text contains needle.
  static size_t Count(const std::string &needle);
};

}  // namespace winsim
