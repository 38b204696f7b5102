// The driver's trace log client: binary records in the logger device's two
// shared buffers, "STND" for the control path and "REAL" for the real-time
// path (URB completion, Distribute, the pins' Process). When the logger is
// absent every trace point costs one load and compare.
//
// A trace point is QAV_LOG(Name, arguments...) or QAV_LOG_RT(Name, ...), with
// Name a message of uac2common/tracelog/trace_catalog.h and up to eight
// 32-bit words of arguments (a 64-bit value takes two, low word first). The
// arguments are evaluated only when the message's flags are enabled.
//
// IRQL: trace points at <= DISPATCH_LEVEL on any processor; TraceLogOpen and
// TraceLogClose at PASSIVE_LEVEL (driver entry and unload).
#pragma once
#include "kerneldriver/kernel_headers.h"
#include "uac2common/tracelog/logger_protocol.h"
#include "uac2common/tracelog/trace_catalog.h"

struct TraceLogClient {
  HANDLE fileHandle;
  PFILE_OBJECT fileObject;
  PDEVICE_OBJECT deviceObject;
  LoggerBufferHeader *standard;
  LoggerBufferHeader *realTime;
  // The buffers' kernel enabled masks; two static zero words while closed.
  unsigned int *standardMask;
  unsigned int *realTimeMask;
};

extern TraceLogClient g_traceLog;

// Puts the client in the state of a freshly loaded image (closed, nothing
// held), first thing in driver entry. On Windows that is the state it is in
// already; the host build loads the same image again on every simulated
// machine, after a machine that ended with the driver still loaded.
void TraceLogInitialize();
// Opens the logger and fetches both buffers. STATUS_SUCCESS when open
// already; STATUS_REVISION_MISMATCH for a logger of another version;
// STATUS_UNSUCCESSFUL for any other failure. Tracing stays off on failure.
NTSTATUS TraceLogOpen();
// Turns tracing off and lets the logger go. Balanced with a successful open;
// harmless when closed.
void TraceLogClose();

inline bool TraceEnabledIn(const unsigned int *mask, ULONG flags) {
  return (__atomic_load_n(mask, __ATOMIC_RELAXED) & flags) == flags;
}
inline bool TraceStandardEnabled(ULONG flags) {
  return TraceEnabledIn(__atomic_load_n(&g_traceLog.standardMask, __ATOMIC_ACQUIRE), flags);
}
inline bool TraceRealTimeEnabled(ULONG flags) {
  return TraceEnabledIn(__atomic_load_n(&g_traceLog.realTimeMask, __ATOMIC_ACQUIRE), flags);
}

// Claims a slot, writes the record with its flags last, then runs the
// buffer's trigger and post-trigger countdown. No-op for a null buffer.
void TraceWriteRecord(LoggerBufferHeader *buffer, ULONG flags, ULONG messageId, const ULONG *arguments);

template <typename T>
constexpr ULONG TraceWordsOf() {
  return sizeof(T) > 4 ? 2 : 1;
}

template <typename T>
inline void TracePut(ULONG (&words)[kTraceRecordArguments], ULONG &at, T value) {
  if constexpr (sizeof(T) > 4) {
    const ULONGLONG wide = static_cast<ULONGLONG>(value);
    words[at++] = static_cast<ULONG>(wide);
    words[at++] = static_cast<ULONG>(wide >> 32);
  } else {
    words[at++] = static_cast<ULONG>(value);
  }
}

template <typename... A>
inline void TraceWrite(LoggerBufferHeader *buffer, ULONG flags, TraceId id, A... arguments) {
  static_assert((TraceWordsOf<A>() + ... + 0) <= kTraceRecordArguments, "a record holds eight 32-bit arguments");
  ULONG words[kTraceRecordArguments] = {};
  ULONG at = 0;
  (TracePut(words, at, arguments), ...);
  (void)at;
  TraceWriteRecord(buffer, flags, static_cast<ULONG>(id), words);
}

#define QAV_LOG(name, ...)                                                                         \
  do {                                                                                             \
    constexpr ULONG qavTraceFlags = TraceFlagsOf(TraceId::name);                                   \
    if (TraceStandardEnabled(qavTraceFlags))                                                       \
      TraceWrite(g_traceLog.standard, qavTraceFlags, TraceId::name __VA_OPT__(, ) __VA_ARGS__);    \
  } while (0)

#define QAV_LOG_RT(name, ...)                                                                      \
  do {                                                                                             \
    constexpr ULONG qavTraceFlags = TraceFlagsOf(TraceId::name);                                   \
    if (TraceRealTimeEnabled(qavTraceFlags))                                                       \
      TraceWrite(g_traceLog.realTime, qavTraceFlags, TraceId::name __VA_OPT__(, ) __VA_ARGS__);    \
  } while (0)
