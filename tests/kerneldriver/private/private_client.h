// A user-mode client of the driver's private interface, as the deliverables
// will be: it opens the filter by the device-interface path SetupAPI hands
// out for KSCATEGORY_UacPrivate and sends IOCTL_KS_PROPERTY, IOCTL_KS_METHOD
// and IOCTL_KS_ENABLE_EVENT through DeviceIoControl with user-mode buffers
// and event handles.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kerneldriver/start/driver_harness.h"

namespace privtest {

// What DeviceIoControl told the caller.
struct CReply {
  bool ok = false;
  DWORD error = 0;  // GetLastError() after a failure, else 0
  DWORD bytes = 0;  // lpBytesReturned
  std::vector<uint8_t> value;  // the value buffer after the call

  uint32_t U32(size_t index = 0) const;
};

// The Win32 error a caller sees for a status (ERROR_SUCCESS for success).
DWORD ErrorFor(NTSTATUS status);
// A reply that ended with `status`: success with its data, a warning with
// its data, an error with its mapped Win32 error.
bool Ended(const CReply &reply, NTSTATUS status);

// The interface paths of the device's private category.
std::vector<std::string> PrivateFilterPaths(winsim::Machine &machine, PDEVICE_OBJECT pdo);

class CPrivateClient {
 public:
  explicit CPrivateClient(const std::string &path);
  ~CPrivateClient();
  CPrivateClient(const CPrivateClient &) = delete;
  CPrivateClient &operator=(const CPrivateClient &) = delete;

  bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
  void Close();

  // Any request: `request` bytes in, `value` as the value buffer (its size
  // is the buffer's length; its contents go in as they are).
  CReply Send(DWORD ioctl, const std::vector<uint8_t> &request, std::vector<uint8_t> value);

  CReply Property(ULONG id, ULONG flags, std::vector<uint8_t> value, const std::vector<uint8_t> &tail = {});
  CReply GetU32(ULONG id);
  CReply SetU32(ULONG id, uint32_t value);
  CReply Method(ULONG id, ULONG flags, const std::vector<uint8_t> &tail, std::vector<uint8_t> data);

  // Enables event `id` of `set` with a fresh auto-reset event handle;
  // null when the driver refused (error in *error).
  HANDLE EnableEvent(const GUID &set, ULONG id, DWORD *error = nullptr, ULONG dataLength = sizeof(KSEVENTDATA));
  // Whether the event was signalled (consumes the signal).
  static bool Signalled(HANDLE event);

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  std::vector<std::unique_ptr<uint8_t[]>> m_eventData;  // their addresses name the enabled events
  std::vector<HANDLE> m_events;
};

// Request bytes after the 24-byte identifier.
std::vector<uint8_t> Le32(uint32_t value);
std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes);
// The tail of an indexed request: the index and four reserved bytes.
std::vector<uint8_t> IndexTail(uint32_t index);

// A client on the device's first private filter path; null when none opens.
std::unique_ptr<CPrivateClient> ConnectTo(winsim::Machine &machine, PDEVICE_OBJECT pdo);

// A plugged device with its clients' filter paths at hand.
class PrivateTest : public dstest::DriverStartTest {
 protected:
  std::unique_ptr<CPrivateClient> Connect();
  // Plugs Larch with its third clock running at 88200 or 176400 only.
  void PlugLarchWithHighRateThirdClock();
};

}  // namespace privtest
