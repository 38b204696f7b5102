// What a CKsPin does with its pin instance: creation through KsCreatePin,
// state, reset, format, stream requests and cancellation.
#include <atomic>
#include <new>

#include "uac2common/directks/filter.h"
#include "uac2common/directks/kssystem.h"
#include "uac2common/directks/kstrace.h"
#include "uac2common/directks/pin.h"

using directks::kPropSetConnection;
using directks::KsSystem;

namespace {

using KsCreatePinFunction = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

// ksuser.dll and its KsCreatePin, found once per process and never released.
// Two threads that race here store the same values; the cache is atomic so
// that the race is a benign one.
KsCreatePinFunction FindKsCreatePin() {
  static std::atomic<HMODULE> s_ksuser{nullptr};
  static std::atomic<KsCreatePinFunction> s_create{nullptr};
  KsCreatePinFunction create = s_create.load(std::memory_order_acquire);
  if (create != nullptr) return create;
  HMODULE ksuser = s_ksuser.load(std::memory_order_acquire);
  if (ksuser == nullptr) {
    ksuser = LoadLibraryA("ksuser.dll");
    if (ksuser == nullptr) return nullptr;
    s_ksuser.store(ksuser, std::memory_order_release);
  }
  // Through void * as GetProcAddress's result is meant to be used: cast to the real type.
  create = reinterpret_cast<KsCreatePinFunction>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
  s_create.store(create, std::memory_order_release);
  return create;
}

}  // namespace

HRESULT CKsPin::Instantiate(ULONG looped) {
  KsTraceCall call("CKsPin::Instantiate");
  if (m_pksPinCreate == nullptr) return call.Return(S_OK);
  m_pksPinCreate->PinToHandle = nullptr;
  if (m_pLinkPin != nullptr) {
    KS_ASSERT(KSPIN_COMMUNICATION_SINK == m_pLinkPin->m_Descriptor.Communication ||
              KSPIN_COMMUNICATION_BOTH == m_pLinkPin->m_Descriptor.Communication);
    m_pksPinCreate->PinToHandle = m_pLinkPin->GetHandle();
  }
  m_ulLooped = looped;
  m_pksPinCreate->Interface.Id = looped != 0 ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
  HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  if (KsCreatePinFunction create = FindKsCreatePin()) {
    HANDLE pin = nullptr;
    DWORD error = create(m_pFilter->GetHandle(), m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &pin);
    hr = error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
    if (SUCCEEDED(hr)) {
      m_handle = pin;
      m_State = KSSTATE_STOP;
    }
  }
  if (FAILED(hr)) KsTrace(1, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
  return call.Return(hr);
}

void CKsPin::ClosePin() {
  KsTraceCall call("CKsPin::ClosePin");
  if (!IsValidHandle(m_handle)) return;
  SetState(KSSTATE_STOP);
  SafeCloseHandle(m_handle);
  m_State = KSSTATE_STOP;
}

HRESULT CKsPin::SetState(KSSTATE state) {
  KsTraceCall call("CKsPin::SetState");
  KSSTATE value = state;
  HRESULT hr = SetPropertySimple(kPropSetConnection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
  if (FAILED(hr)) {
    KsTrace(1, "Failed to Set Pin State");
  } else {
    m_State = state;
  }
  return call.Return(hr);
}

HRESULT CKsPin::GetState(PKSSTATE state) {
  KsTraceCall call("CKsPin::GetState");
  if (state == nullptr) {
    KsTrace(1, "pksState == NULL");
    return call.Return(E_INVALIDARG);
  }
  if (!IsValidHandle(m_handle)) {
    KsTrace(1, "No valid pin handle");
    return call.Return(E_FAIL);
  }
  return call.Return(GetPropertySimple(kPropSetConnection, KSPROPERTY_CONNECTION_STATE, state, sizeof(KSSTATE)));
}

HRESULT CKsPin::Reset() {
  KsTraceCall call("CKsPin::Reset");
  ULONG reset = KSRESET_BEGIN;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_RESET_STATE, &reset, sizeof reset, nullptr, 0);
  if (FAILED(hr)) KsTrace(1, "IOCTL_KS_RESET_STATE failed");
  reset = KSRESET_END;
  hr = SyncIoctl(m_handle, IOCTL_KS_RESET_STATE, &reset, sizeof reset, nullptr, 0);
  if (FAILED(hr)) KsTrace(1, "IOCTL_KS_RESET_STATE failed");
  return call.Return(hr);
}

HRESULT CKsPin::SetFormat(PKSDATAFORMAT format) {
  KsTraceCall call("CKsPin::SetFormat");
  if (format == nullptr) return call.Return(E_INVALIDARG);
  return call.Return(
      SetPropertySimple(kPropSetConnection, KSPROPERTY_CONNECTION_DATAFORMAT, format, format->FormatSize));
}

HRESULT CKsPin::SetPinConnect(PKSPIN_CONNECT connect, ULONG size) {
  KsTraceCall call("CKsPin::SetPinConnect");
  // KsCreatePin reads the data format behind the KSPIN_CONNECT, as far as its
  // FormatSize says: both must lie within the request.
  constexpr ULONG kMinimum = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
  if (connect == nullptr || size < kMinimum) return call.Return(E_INVALIDARG);
  KSDATAFORMAT format;
  std::memcpy(&format, connect + 1, sizeof format);
  if (format.FormatSize < sizeof(KSDATAFORMAT) || format.FormatSize > size - sizeof(KSPIN_CONNECT)) {
    return call.Return(E_INVALIDARG);
  }
  FreePinConnect();
  auto *copy = new (std::nothrow) UCHAR[size];
  if (copy == nullptr) return call.Return(E_OUTOFMEMORY);
  std::memcpy(copy, connect, size);
  m_pksPinCreate = reinterpret_cast<PKSPIN_CONNECT>(copy);
  m_cbPinCreate = size;
  return call.Return(S_OK);
}

HRESULT CKsPin::ReadData(PKSSTREAM_HEADER header, LPOVERLAPPED overlapped) {
  KsTraceCall call("CKsPin::ReadData");
  if (header == nullptr) return call.Return(E_POINTER);
  ULONG count = 0;
  if (!KsSystem().deviceIoControl(m_handle, IOCTL_KS_READ_STREAM, nullptr, 0, header, header->Size, &count,
                                  overlapped)) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      KsTrace(1, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(error));
      return call.Return(E_FAIL);
    }
  }
  return call.Return(S_OK);
}

HRESULT CKsPin::WriteData(PKSSTREAM_HEADER header, LPOVERLAPPED overlapped) {
  KsTraceCall call("CKsPin::WriteData");
  if (header == nullptr) return call.Return(E_POINTER);
  ULONG count = 0;
  if (!KsSystem().deviceIoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, header, header->Size, &count,
                                  overlapped)) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      KsTrace(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x", static_cast<unsigned>(error));
      return call.Return(E_FAIL);
    }
  }
  return call.Return(S_OK);
}

HRESULT CKsPin::CancelPendingIo() {
  KsTraceCall call("CKsPin::CancelPendingIo");
  return call.Return(CancelIo(m_handle) ? S_OK : E_FAIL);
}
