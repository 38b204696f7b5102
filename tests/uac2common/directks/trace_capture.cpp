#include "trace_capture.h"

#include <algorithm>

namespace kslibtest {
namespace {

std::vector<std::string> g_messages;

void Collect(const char *message) { g_messages.emplace_back(message); }

}  // namespace

TraceCapture::TraceCapture(LONG level) {
  g_messages.clear();
  KsTraceLevel = level;
  SetKsTraceSink(&Collect);
}

TraceCapture::~TraceCapture() {
  SetKsTraceSink(nullptr);
  KsTraceLevel = 1;
  g_messages.clear();
}

const std::vector<std::string> &TraceCapture::Messages() const { return g_messages; }

bool TraceCapture::Saw(const std::string &text) const {
  return std::find(g_messages.begin(), g_messages.end(), text) != g_messages.end();
}

void TraceCapture::Clear() { g_messages.clear(); }

}  // namespace kslibtest
