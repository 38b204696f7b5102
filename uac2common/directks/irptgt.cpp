#include "uac2common/directks/irptgt.h"

#include "uac2common/directks/kssystem.h"
#include "uac2common/directks/kstrace.h"

using directks::KsSystem;

LONG CRefCountedObject::Release() {
  LONG count = --m_lRefCount;
  if (count == 0) delete this;
  return count;
}

CKsIrpTarget::CKsIrpTarget(HANDLE handle) : m_handle(handle) {}

bool CKsIrpTarget::IsValidHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE &handle) {
  if (!IsValidHandle(handle)) return TRUE;
  BOOL closed = CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  return closed;
}

BOOL CKsIrpTarget::Close() {
  KsTraceCall call("CKsIrpTarget::Close");
  return SafeCloseHandle(m_handle);
}

namespace {

bool IsBufferSizeError(DWORD error) { return error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA; }

// Waits for a request the system left pending. Its status is in the
// OVERLAPPED once the event is set: a request that failed after pending is a
// failure, not a success with no data.
HRESULT WaitForPending(HANDLE event, const OVERLAPPED &overlapped, PULONG count) {
  DWORD wait = KsSystem().waitForSingleObject(event, INFINITE);
  *count = 0;
  if (wait != WAIT_OBJECT_0) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x", static_cast<unsigned>(wait));
    return E_FAIL;
  }
  return static_cast<LONG>(overlapped.Internal) < 0 ? E_FAIL : S_OK;
}

}  // namespace

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                                PULONG bytesReturned) {
  KsTraceCall call("CKsIrpTarget::SyncIoctl");
  if (!IsValidHandle(handle)) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
    return call.Return(E_FAIL);
  }
  HANDLE event = KsSystem().createEvent(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    return call.Return(E_OUTOFMEMORY);
  }
  OVERLAPPED overlapped = {};
  // The lowest bit keeps the completion from an I/O completion port bound to
  // the handle; the event is signalled all the same.
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  ULONG local = 0;
  PULONG count = bytesReturned != nullptr ? bytesReturned : &local;
  HRESULT hr = S_OK;
  if (!KsSystem().deviceIoControl(handle, code, in, inSize, out, outSize, count, &overlapped)) {
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      hr = WaitForPending(event, overlapped, count);
    } else if (IsBufferSizeError(error) && code == IOCTL_KS_PROPERTY && outSize == 0) {
      hr = S_OK;  // a size query: *count holds the size the system reported
    } else {
      hr = E_FAIL;
      *count = 0;
    }
  }
  SafeCloseHandle(event);
  return call.Return(hr);
}

HRESULT CKsIrpTarget::KsMethod(PVOID request, ULONG requestSize, PVOID data, ULONG dataSize,
                               PULONG bytesReturned) {
  KsTraceCall call("CKsIrpTarget::KsMethod");
  return call.Return(SyncIoctl(m_handle, IOCTL_KS_METHOD, request, requestSize, data, dataSize, bytesReturned));
}

DWORD CKsIrpTarget::KsDeviceIoControl(ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                                      PULONG bytesReturned, LPOVERLAPPED overlapped) {
  KsTraceCall call("CKsIrpTarget::KsDeviceIoControl");
  if (KsSystem().deviceIoControl(m_handle, code, in, inSize, out, outSize, bytesReturned, overlapped)) return 0;
  return GetLastError();
}
