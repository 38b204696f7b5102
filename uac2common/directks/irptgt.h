// The foundation of the KS client library: reference counting, and
// CKsIrpTarget, the base of every object that owns a kernel-streaming handle.
// Every request goes through SyncIoctl, so each call is synchronous for its
// caller; each call makes its own event and OVERLAPPED, so threads may send
// requests on one handle at the same time. Nothing here takes a lock.
#pragma once
#include "uac2common/directks/ksplatform.h"

// Plain (not interlocked) counts: objects cross threads only as pointers
// borrowed from their owner, never with a reference taken on another thread.
class CRefCountedObject {
 public:
  // The creator holds the first reference.
  CRefCountedObject() = default;
  virtual ~CRefCountedObject() = default;
  CRefCountedObject(const CRefCountedObject &) = delete;
  CRefCountedObject &operator=(const CRefCountedObject &) = delete;

  LONG AddRef() { return ++m_lRefCount; }
  // Destroys the object through its virtual destructor at zero.
  LONG Release();

 private:
  LONG m_lRefCount = 1;
};

class CKsIrpTarget : public CRefCountedObject {
 public:
  // Filters and pins pass INVALID_HANDLE_VALUE and open their handle later.
  explicit CKsIrpTarget(HANDLE handle);
  // Does not close the handle: the derived classes do.
  ~CKsIrpTarget() override = default;

  HANDLE GetHandle() const { return m_handle; }
  // Valid unless NULL or INVALID_HANDLE_VALUE.
  static bool IsValidHandle(HANDLE handle);
  // Closes a valid handle and sets it to INVALID_HANDLE_VALUE, returning the
  // CloseHandle result; TRUE, and nothing changed, for an invalid one.
  static BOOL SafeCloseHandle(HANDLE &handle);
  BOOL Close();

  // One request, waited for. Success: the call returned TRUE, or completed
  // asynchronously without error (bytes returned then 0), or is a property
  // size query (IOCTL_KS_PROPERTY with no output) answered with a buffer
  // size error, whose needed size stays in *bytesReturned. Anything else is
  // E_FAIL with 0 bytes; the Win32 error is not passed on.
  static HRESULT SyncIoctl(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                           PULONG bytesReturned = nullptr);

  // Property requests on this object's handle. Simple, node and channel
  // forms send their header with the optional extra input bytes behind it;
  // the value buffer is the request's output (also for a set, which is how
  // kernel streaming carries the data).
  HRESULT GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                            ULONG extraSize = 0);
  HRESULT SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                            ULONG extraSize = 0);
  HRESULT GetNodePropertySimple(ULONG nodeId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                PVOID extra = nullptr, ULONG extraSize = 0);
  HRESULT SetNodePropertySimple(ULONG nodeId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                PVOID extra = nullptr, ULONG extraSize = 0);
  HRESULT GetNodePropertyChannel(ULONG nodeId, LONG channel, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                 PVOID extra = nullptr, ULONG extraSize = 0);
  HRESULT SetNodePropertyChannel(ULONG nodeId, LONG channel, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                 PVOID extra = nullptr, ULONG extraSize = 0);

  // Variable-size get: the size is asked first, then a buffer of that size
  // (array new) is read. Once *buffer is set it is the caller's to free with
  // FreeBuffer, also when the read then fails. A size of 0 succeeds with
  // *buffer untouched. The second form asks the size with the plain
  // KSPROPERTY and reads with the caller's full request.
  HRESULT GetPropertyMulti(REFGUID set, ULONG id, PUCHAR *buffer, PULONG bufferSize = nullptr);
  HRESULT GetPropertyMulti(REFGUID set, ULONG id, PVOID request, ULONG requestSize, PUCHAR *buffer,
                           PULONG bufferSize = nullptr);
  // Variable-size set: the size is asked with set flags, then a zero-filled
  // LocalAlloc buffer of that size is the output of the set; the caller frees
  // it with LocalFree.
  HRESULT SetPropertyMulti(REFGUID set, ULONG id, PVOID *buffer);
  static void FreeBuffer(void *buffer) { delete[] static_cast<PUCHAR>(buffer); }

  // Success means the set is supported.
  HRESULT PropertySetSupport(REFGUID set);
  // The property's access flags (4 bytes).
  HRESULT PropertyBasicSupport(REFGUID set, ULONG id, PULONG accessFlags);

  HRESULT KsMethod(PVOID request, ULONG requestSize, PVOID data, ULONG dataSize, PULONG bytesReturned = nullptr);
  // A plain DeviceIoControl on the handle: 0, or the Win32 error (not an HRESULT).
  DWORD KsDeviceIoControl(ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize, PULONG bytesReturned,
                          LPOVERLAPPED overlapped);

 protected:
  HANDLE m_handle;

 private:
  HRESULT HeaderRequest(const void *header, ULONG headerSize, PVOID extra, ULONG extraSize, PVOID value,
                        ULONG valueSize);
  HRESULT MultiRead(KSPROPERTY &sizeRequest, PVOID request, ULONG requestSize, PUCHAR *buffer, PULONG bufferSize);
};
