// The library's levelled text trace. A message goes out when its level is at
// most KsTraceLevel: to the debugger (OutputDebugStringA, then a line end)
// and to the sink, if one is installed. Levels: 1 errors, 3 failed pin
// property queries, 4 and 5 warnings and notes, 6 entry and exit of every
// operation. The threshold and the sink are plain globals: set them before
// any thread uses the library.
#pragma once
#include "uac2common/directks/ksplatform.h"

#if defined(__clang__)
#define KS_TRACE_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KS_TRACE_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

// Messages longer than this many characters are cut.
inline constexpr int kKsTraceMaxChars = 259;

extern LONG KsTraceLevel;

using KsTraceSink = void (*)(const char *message);
void SetKsTraceSink(KsTraceSink sink);

void KsTrace(LONG level, const char *format, ...) KS_TRACE_FORMAT(2, 3);

// Entry and exit of one operation at level 6: "<name>() Enter" at
// construction; "<name> Leave, returning <code>" through Return, or
// "<name>() Leave" at destruction when nothing was returned.
class KsTraceCall {
 public:
  explicit KsTraceCall(const char *name);
  ~KsTraceCall();
  KsTraceCall(const KsTraceCall &) = delete;
  KsTraceCall &operator=(const KsTraceCall &) = delete;

  HRESULT Return(HRESULT hr);

 private:
  const char *m_pszName;
  bool m_fReturned = false;
};

// The library's checks of its own invariants (null arguments it must not be
// given, list counts): a failed check is reported at level 1 and the caller
// goes on.
#define KS_ASSERT(expression) \
  ((expression) ? (void)0 : KsTrace(1, "Assertion failed: %s (%s:%d)", #expression, __FILE__, __LINE__))
