// A user-mode client of the driver with nothing but the Windows API: the
// filter of a started device opened by the interface path SetupAPI would
// hand out, KS requests sent with DeviceIoControl, pins created through
// ksuser.dll's KsCreatePin. Call it from the test thread (or any simulated
// thread) of a Machine with QavAudio started.
//
//   umclient::CKsHandle filter = umclient::CKsHandle::OpenFilter(machine);
//   ULONG pins = 0;
//   umclient::KsReply reply = filter.GetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins);
//   // reply.error == ERROR_SUCCESS, reply.bytes == 4
#pragma once
#include <windows.h>
#include <ks.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace umclient {

// What DeviceIoControl told the caller: ERROR_SUCCESS or the last error,
// and the byte count it reported (kept for ERROR_MORE_DATA, which carries
// the size a KS object needs).
struct KsReply {
  DWORD error = ERROR_SUCCESS;
  DWORD bytes = 0;
  bool Ok() const { return error == ERROR_SUCCESS; }
};

// Interface paths of the driver's filters (KSCATEGORY_UacPrivate), one per
// started device in the order the devices arrived, lower case as SetupAPI
// gives them.
std::vector<std::string> FilterPaths(winsim::Machine &machine);

// A handle of a filter or pin, closed at destruction.
class CKsHandle {
 public:
  CKsHandle() = default;
  explicit CKsHandle(HANDLE handle) : m_handle(handle) {}
  ~CKsHandle() { Close(); }
  CKsHandle(CKsHandle &&other) noexcept : m_handle(other.Release()) {}
  CKsHandle &operator=(CKsHandle &&other) noexcept;
  CKsHandle(const CKsHandle &) = delete;
  CKsHandle &operator=(const CKsHandle &) = delete;

  // The filter of the device'th started device (0: the first plugged).
  // Invalid when it cannot be opened; the last error says why.
  static CKsHandle OpenFilter(winsim::Machine &machine, size_t device = 0);

  bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_handle; }
  HANDLE Release();
  // CloseHandle; true when there was a handle and it closed.
  bool Close();

  // Any IOCTL, sent overlapped and waited for, so it works on pin handles
  // whose requests pend as well as on filters.
  KsReply Ioctl(ULONG code, const void *in, ULONG inSize, void *out, ULONG outSize) const;
  // IOCTL_KS_PROPERTY with a request of any KS layout (KSPROPERTY, KSP_PIN,
  // KSP_NODE, a KSP_PIN followed by a KSMULTIPLE_ITEM ...).
  template <class Request>
  KsReply Property(const Request &request, void *value, ULONG valueSize) const {
    return Ioctl(IOCTL_KS_PROPERTY, &request, sizeof(Request), value, valueSize);
  }
  // A get of a plain KSPROPERTY.
  KsReply GetProperty(const GUID &set, ULONG id, void *value, ULONG valueSize) const;
  // A get of a KSPROPSETID_Pin property of one pin (request KSP_PIN).
  KsReply GetPinProperty(ULONG pinId, ULONG id, void *value, ULONG valueSize) const;
  // A KSMULTIPLE_ITEM answer read whole: the size asked with a zero-length
  // buffer first, as KS clients do, then exactly that many bytes.
  KsReply GetMultiple(const void *request, ULONG requestSize, std::vector<BYTE> *answer) const;

  // KsCreatePin (through LoadLibraryA("ksuser.dll")) on this filter with a
  // KSPIN_CONNECT followed by its data format; returns its Win32 error.
  DWORD CreatePin(const void *connectAndFormat, CKsHandle *pin,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) const;

 private:
  HANDLE m_handle = nullptr;
};

// The items of a KSMULTIPLE_ITEM answer as T (every item sizeof(T)); empty
// when the answer is shorter than it says.
template <class T>
std::vector<T> Items(const std::vector<BYTE> &answer) {
  std::vector<T> items;
  if (answer.size() < sizeof(KSMULTIPLE_ITEM)) return items;
  KSMULTIPLE_ITEM header;
  std::memcpy(&header, answer.data(), sizeof header);
  if (header.Size > answer.size() || (header.Size - sizeof header) / sizeof(T) < header.Count) return items;
  items.resize(header.Count);
  if (header.Count > 0) std::memcpy(items.data(), answer.data() + sizeof header, header.Count * sizeof(T));
  return items;
}

}  // namespace umclient
