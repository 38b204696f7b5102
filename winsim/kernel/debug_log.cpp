#include "winsim/kernel/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

std::mutex g_lock;
std::vector<LogLine> g_lines;
bool g_echo = false;
constexpr size_t kMaxLines = 200000;  // a runaway driver must not exhaust memory

}  // namespace

void DebugLog::Append(const std::string &source, const std::string &text) {
  LogLine line;
  Scheduler *scheduler = Scheduler::Active();
  line.time = scheduler != nullptr ? scheduler->Now() : 0;
  SimThread *thread = Scheduler::Current();
  line.thread = thread != nullptr ? thread->Name() : "-";
  line.source = source;
  line.text = text;
  while (!line.text.empty() && line.text.back() == '\n') line.text.pop_back();
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_echo) {
    std::fprintf(stderr, "[%10.4f ms] %s: %s\n", static_cast<double>(line.time) / kTicksPerMillisecond,
                 line.source.c_str(), line.text.c_str());
  }
  if (g_lines.size() >= kMaxLines) g_lines.erase(g_lines.begin(), g_lines.begin() + kMaxLines / 2);
  g_lines.push_back(std::move(line));
}

std::vector<LogLine> DebugLog::Snapshot() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lines;
}

void DebugLog::Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lines.clear();
}

void DebugLog::SetEcho(bool echo) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_echo = echo;
}

size_t DebugLog::Count(const std::string &needle) {
  std::lock_guard<std::mutex> guard(g_lock);
  size_t count = 0;
  for (const LogLine &line : g_lines) count += line.text.find(needle) != std::string::npos;
  return count;
}

}  // namespace winsim

namespace {

std::string Format(const char *format, va_list args) {
  char buffer[512];
  int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) return "<bad DbgPrint format>";
  return buffer;  // longer output is truncated, as DbgPrint truncates at 512 bytes
}

}  // namespace

ULONG DbgPrint(PCSTR Format_, ...) {
  va_list args;
  va_start(args, Format_);
  winsim::DebugLog::Append("driver", Format(Format_, args));
  va_end(args);
  return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format_, ...) {
  (void)ComponentId;
  va_list args;
  va_start(args, Format_);
  winsim::DebugLog::Append(Level == DPFLTR_ERROR_LEVEL ? "driver-error" : "driver", Format(Format_, args));
  va_end(args);
  return STATUS_SUCCESS;
}
