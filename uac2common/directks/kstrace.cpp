#include "uac2common/directks/kstrace.h"

#include <cstdarg>
#include <cstdio>

LONG KsTraceLevel = 1;

namespace {

KsTraceSink g_sink = nullptr;

constexpr LONG kCallLevel = 6;

}  // namespace

void SetKsTraceSink(KsTraceSink sink) { g_sink = sink; }

void KsTrace(LONG level, const char *format, ...) {
  if (level > KsTraceLevel) return;
  // Zeroed, so what a failed format leaves behind is still a string.
  char message[kKsTraceMaxChars + 1] = {};
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  message[kKsTraceMaxChars] = '\0';
  OutputDebugStringA(message);
  OutputDebugStringA("\r\n");
  if (g_sink != nullptr) g_sink(message);
}

KsTraceCall::KsTraceCall(const char *name) : m_pszName(name) {
  if (kCallLevel <= KsTraceLevel) KsTrace(kCallLevel, "%s() Enter", m_pszName);
}

KsTraceCall::~KsTraceCall() {
  if (!m_fReturned && kCallLevel <= KsTraceLevel) KsTrace(kCallLevel, "%s() Leave", m_pszName);
}

HRESULT KsTraceCall::Return(HRESULT hr) {
  m_fReturned = true;
  if (kCallLevel <= KsTraceLevel) {
    KsTrace(kCallLevel, "%s Leave, returning %#08x", m_pszName, static_cast<unsigned>(hr));
  }
  return hr;
}
