// kernel32 debugger output. A debugger shows OutputDebugStringA's text as one
// stream: the pieces of a line (text, then "\r\n" in a second call) come out
// as one line of the machine log, under the source "debugger".
#include <windows.h>

#include <mutex>
#include <string>

#include "winsim/kernel/debug_log.h"

namespace {

std::mutex g_lock;
std::string g_pending;

}  // namespace

void OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  std::lock_guard<std::mutex> guard(g_lock);
  for (const char *c = lpOutputString; *c != '\0'; ++c) {
    if (*c == '\r') continue;
    if (*c != '\n') {
      g_pending.push_back(*c);
      continue;
    }
    winsim::DebugLog::Append("debugger", g_pending);
    g_pending.clear();
  }
}
