// The ASIO driver's client of the driver logger device: binary trace records
// (a message id, a flag word and four 64-bit arguments) written through the
// logger's write control when the logger is present and the flag word is
// enabled in its user-mode mask. Without a logger every trace point is off.
#pragma once
#include <windows.h>

#include "uac2common/tracelog/trace_catalog.h"

// Flag words of the driver's trace points: the user-mode area with a level.
inline constexpr ULONG kAsioTraceEvent = kTraceAreaUserMode | kTraceLevelEvent;        // 0x1100
inline constexpr ULONG kAsioTraceRefusal = kTraceAreaUserMode | kTraceLevelRefusal;    // 0x1080
inline constexpr ULONG kAsioTraceFailure = kTraceAreaUserMode | kTraceLevelFailure;    // 0x1040
inline constexpr ULONG kAsioTraceCallback = kTraceAreaUserMode | kTraceLevelDetail;    // 0x1200

// Results of Open besides 0.
inline constexpr LONG kTraceNoLogger = static_cast<LONG>(0xC0000017);         // no device
inline constexpr LONG kTraceRequestFailed = static_cast<LONG>(0xC0000001);    // a request failed
inline constexpr LONG kTraceWrongVersion = static_cast<LONG>(0xC0000059);     // not protocol 0x3006

class CAsioTraceLog {
 public:
  // Counted: the first successful open connects to the logger, every further
  // one only counts. 0 or one of the codes above; on failure tracing stays off.
  static LONG Open();
  // Drops one open; the last disconnects and turns tracing off.
  static void Close();
  // True when every bit of flags (not 0) is enabled in the logger's user-mode mask.
  static bool IsEnabled(ULONG flags);
  static void Write(ULONG messageId, ULONG flags, ULONGLONG a0 = 0, ULONGLONG a1 = 0, ULONGLONG a2 = 0,
                    ULONGLONG a3 = 0);
  // A catalogue message with its catalogue flag word.
  static void Trace(TraceId id, ULONGLONG a0 = 0, ULONGLONG a1 = 0, ULONGLONG a2 = 0, ULONGLONG a3 = 0) {
    Write(static_cast<ULONG>(id), TraceFlagsOf(id), a0, a1, a2, a3);
  }
  // The logger's write request for one record.
  static LoggerWriteRequest MakeRequest(ULONG messageId, ULONG flags, ULONGLONG a0, ULONGLONG a1, ULONGLONG a2,
                                        ULONGLONG a3);
};

// The module's attach records (catalogue ids; the second is written with the
// event level alone, so that any mask enabling events records it).
enum AsioTraceMessage : ULONG {
  kTraceDllAttach = static_cast<ULONG>(TraceId::AsioModuleAttached),
  kTraceModulePathKnown = static_cast<ULONG>(TraceId::AsioModulePathKnown),
};
