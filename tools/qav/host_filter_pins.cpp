// The driver's filter read back through the user-mode API of the simulated
// machine, as any KS client reads it: CreateFileA on the interface path,
// then KSPROPSETID_Pin requests with DeviceIoControl.
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdio>

#include "tools/qav/host_commands.h"
#include "tools/qav/waited_ioctl.h"
#include "uac2common/uac2private.h"
#include "winsim/machine.h"
#include "winsim/user/device_paths.h"

namespace qav {
namespace {

// Bounds the answer a driver may give: a filter has at most 32 pins here,
// and no pin lists more ranges than fit in this many bytes.
constexpr ULONG kMaxPins = 64;
constexpr DWORD kMaxRangeBytes = 64 * 1024;

class CFilterReader {
 public:
  explicit CFilterReader(HANDLE filter) : m_filter(filter) {}

  // ERROR_SUCCESS or the Win32 error of the request, with *bytes returned.
  DWORD Ioctl(const void *request, DWORD requestSize, void *out, DWORD outSize, DWORD *bytes) const {
    return WaitedIoctl(m_filter, IOCTL_KS_PROPERTY, const_cast<void *>(request), requestSize, out, outSize, bytes);
  }

  DWORD PinValue(ULONG pinId, ULONG id, ULONG *value) const {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    DWORD bytes = 0;
    DWORD error = Ioctl(&request, sizeof request, value, sizeof *value, &bytes);
    return error == ERROR_SUCCESS && bytes != sizeof *value ? ERROR_INVALID_DATA : error;
  }

  // The pin's KSMULTIPLE_ITEM of ranges: the size asked first, then read.
  DWORD Ranges(ULONG pinId, std::vector<BYTE> *answer) const {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    DWORD needed = 0;
    DWORD error = Ioctl(&request, sizeof request, nullptr, 0, &needed);
    if (error != ERROR_MORE_DATA) return error == ERROR_SUCCESS ? ERROR_INVALID_DATA : error;
    if (needed < sizeof(KSMULTIPLE_ITEM) || needed > kMaxRangeBytes) return ERROR_INVALID_DATA;
    answer->assign(needed, 0);
    DWORD bytes = 0;
    error = Ioctl(&request, sizeof request, answer->data(), needed, &bytes);
    if (error == ERROR_SUCCESS && bytes != needed) error = ERROR_INVALID_DATA;
    return error;
  }

 private:
  HANDLE m_filter;
};

std::string Failed(const char *what, ULONG pinId, DWORD error) {
  char text[96];
  std::snprintf(text, sizeof text, "%s of pin %u failed with Win32 error %u", what, pinId,
                static_cast<unsigned>(error));
  return text;
}

}  // namespace

HANDLE OpenDriverFilter(winsim::Machine &machine, std::string *error) {
  std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true);
  if (found.empty()) {
    *error = "the driver registered no filter interface";
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = winsim::UserInterfacePath(found.front());
  HANDLE filter = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (filter == INVALID_HANDLE_VALUE) *error = "opening " + path + " failed with Win32 error " + std::to_string(GetLastError());
  return filter;
}

std::vector<PinSummary> ReadFilterPins(winsim::Machine &machine, std::string *error) {
  std::vector<PinSummary> pins;
  error->clear();
  HANDLE filter = OpenDriverFilter(machine, error);
  if (filter == INVALID_HANDLE_VALUE) return pins;
  CFilterReader reader(filter);
  KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  ULONG count = 0;
  DWORD bytes = 0;
  DWORD status = reader.Ioctl(&ctypes, sizeof ctypes, &count, sizeof count, &bytes);
  if (status != ERROR_SUCCESS || count > kMaxPins) {
    *error = status != ERROR_SUCCESS ? "the pin count failed with Win32 error " + std::to_string(status)
                                     : "the filter claims " + std::to_string(count) + " pins";
    CloseHandle(filter);
    return pins;
  }
  for (ULONG id = 0; id < count && error->empty(); ++id) {
    PinSummary pin;
    pin.id = id;
    std::vector<BYTE> ranges;
    ULONG flow = 0, communication = 0;
    if ((status = reader.PinValue(id, KSPROPERTY_PIN_DATAFLOW, &flow)) != ERROR_SUCCESS) {
      *error = Failed("the data flow", id, status);
    } else if ((status = reader.PinValue(id, KSPROPERTY_PIN_COMMUNICATION, &communication)) != ERROR_SUCCESS) {
      *error = Failed("the communication", id, status);
    } else if ((status = reader.Ranges(id, &ranges)) != ERROR_SUCCESS || !ParseDataRanges(ranges, &pin.ranges)) {
      *error = Failed("the data ranges", id, status != ERROR_SUCCESS ? status : ERROR_INVALID_DATA);
    }
    pin.dataFlow = flow;
    pin.communication = communication;
    pins.push_back(pin);
  }
  CloseHandle(filter);
  if (!error->empty()) pins.clear();
  return pins;
}

}  // namespace qav
