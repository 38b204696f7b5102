// The logger connection is module-wide. Open and Close are serialised by a
// lock word (taken with a compare-exchange, waited for with Sleep): it needs
// no kernel object, so it cannot fail to be created and no handle of it
// outlives the process's other handles. Trace points read the mask without
// it: the mask pointer is switched to the logger's only after the handle is
// set, and back to the zero word before the handle is closed.
#include "uac2common/asiodriver/asio_trace.h"

#include <string.h>

#include "uac2common/wstr.h"

namespace {

const unsigned int g_zeroMask = 0;
const unsigned int *volatile g_mask = &g_zeroMask;
volatile LONG g_lock = 0;
HANDLE g_logger = INVALID_HANDLE_VALUE;
LONG g_opens = 0;

// Open and Close are rare (module load, tests): a contended lock just yields.
void Lock() {
  while (InterlockedCompareExchange(&g_lock, 1, 0) != 0) Sleep(1);
}

void Unlock() { InterlockedExchange(&g_lock, 0); }

bool Request(DWORD code, const void *in, DWORD inBytes, void *out, DWORD outBytes) {
  DWORD returned = 0;
  return DeviceIoControl(g_logger, code, const_cast<void *>(in), inBytes, out, outBytes, &returned, nullptr) &&
         returned == outBytes;
}

void Disconnect() {
  g_mask = &g_zeroMask;
  if (g_logger != INVALID_HANDLE_VALUE) CloseHandle(g_logger);
  g_logger = INVALID_HANDLE_VALUE;
}

LONG Connect() {
  g_logger = CreateFileW(QAV_W(QAV_LOGGER_USER_PATH), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (g_logger == INVALID_HANDLE_VALUE) return kTraceNoLogger;
  LoggerVersionAnswer version{};
  if (!Request(kIoctlLoggerQueryVersion, nullptr, 0, &version, sizeof version)) {
    Disconnect();
    return kTraceRequestFailed;
  }
  if (version.Version != kLoggerProtocolVersion) {
    Disconnect();
    return kTraceWrongVersion;
  }
  ULONGLONG standard = 0;
  ULONGLONG realTime = 0;
  const ULONG tags[2] = {kLoggerTagStandard, kLoggerTagRealTime};
  if (!Request(kIoctlLoggerMapUserBuffer, &tags[0], sizeof tags[0], &standard, sizeof standard) ||
      !Request(kIoctlLoggerMapUserBuffer, &tags[1], sizeof tags[1], &realTime, sizeof realTime) || standard == 0) {
    Disconnect();
    return kTraceRequestFailed;
  }
  auto *header = reinterpret_cast<const LoggerBufferHeader *>(static_cast<ULONG_PTR>(standard));
  g_mask = &header->UserEnableMask;
  return 0;
}

}  // namespace

LONG CAsioTraceLog::Open() {
  Lock();
  LONG status = g_opens == 0 ? Connect() : 0;
  if (status == 0) ++g_opens;
  Unlock();
  return status;
}

void CAsioTraceLog::Close() {
  Lock();
  if (g_opens > 0 && --g_opens == 0) Disconnect();
  Unlock();
}

bool CAsioTraceLog::IsEnabled(ULONG flags) { return flags != 0 && (*g_mask & flags) == flags; }

LoggerWriteRequest CAsioTraceLog::MakeRequest(ULONG messageId, ULONG flags, ULONGLONG a0, ULONGLONG a1, ULONGLONG a2,
                                              ULONGLONG a3) {
  LoggerWriteRequest request;
  memset(&request, 0, sizeof request);
  request.Tag = kLoggerTagStandard;
  request.MessageId = messageId;
  request.Flags = flags;
  request.Arguments[0] = a0;
  request.Arguments[1] = a1;
  request.Arguments[2] = a2;
  request.Arguments[3] = a3;
  return request;
}

void CAsioTraceLog::Write(ULONG messageId, ULONG flags, ULONGLONG a0, ULONGLONG a1, ULONGLONG a2, ULONGLONG a3) {
  if (!IsEnabled(flags)) return;
  LoggerWriteRequest request = MakeRequest(messageId, flags, a0, a1, a2, a3);
  ULONG answer = 0;
  DWORD returned = 0;
  DeviceIoControl(g_logger, kIoctlLoggerWriteRecord, &request, sizeof request, &answer, sizeof answer, &returned,
                  nullptr);
}
