#include "winsim/user/device_notification.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "winsim/user/registry_api.h"
#include "winsim/user/window.h"

namespace winsim {
namespace {

struct Registration {
  HWND window;
  GUID classGuid;
  bool allClasses;
};

struct Registrations {
  std::mutex lock;
  std::map<ULONG_PTR, Registration> byHandle;
  ULONG_PTR next = 0x30010;
};

Registrations &TheRegistrations() {
  static Registrations registrations;
  return registrations;
}

constexpr DWORD kFixedFilterSize = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

std::vector<uint8_t> Broadcast(const DeviceInterfaceInfo &info) {
  const std::string name = "\\\\?\\" + NarrowToAnsi(std::u16string_view(info.symbolicLink).substr(4));
  std::vector<uint8_t> payload(kFixedFilterSize + name.size() + 1, 0);
  auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A *>(payload.data());
  record->dbcc_size = static_cast<DWORD>(payload.size());
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_classguid = info.classGuid;
  std::memcpy(payload.data() + kFixedFilterSize, name.c_str(), name.size() + 1);
  return payload;
}

void Broadcast(const DeviceInterfaceInfo &info, bool arrived) {
  std::vector<HWND> recipients;
  {
    std::lock_guard<std::mutex> guard(TheRegistrations().lock);
    for (const auto &[handle, registration] : TheRegistrations().byHandle) {
      if (registration.allClasses || registration.classGuid == info.classGuid) recipients.push_back(registration.window);
    }
  }
  const WPARAM event = arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
  // A window destroyed without unregistering simply receives nothing.
  for (HWND window : recipients) QueueSentMessage(window, WM_DEVICECHANGE, event, Broadcast(info));
}

// ERROR_SUCCESS, or why the filter is refused.
DWORD CheckFilter(const void *filter) {
  if (filter == nullptr) return ERROR_INVALID_DATA;
  const auto *header = static_cast<const DEV_BROADCAST_HDR *>(filter);
  if (header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return ERROR_INVALID_DATA;
  // Handle notifications (DBT_DEVTYP_HANDLE) are not simulated.
  if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) return ERROR_NOT_SUPPORTED;
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return ERROR_INVALID_DATA;
  if (header->dbch_size < kFixedFilterSize) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

}  // namespace

void StartDeviceBroadcasts(PnpManager &manager) {
  {
    std::lock_guard<std::mutex> guard(TheRegistrations().lock);
    TheRegistrations().byHandle.clear();
  }
  ResetWindows();
  manager.AddInterfaceListener([](const DeviceInterfaceInfo &info, bool arrived) { Broadcast(info, arrived); });
}

}  // namespace winsim

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  if ((Flags & ~static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Services are not simulated: a recipient is always a window.
  if ((Flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0 || !IsWindow(static_cast<HWND>(hRecipient))) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const DWORD error = winsim::CheckFilter(NotificationFilter);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  const auto *filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(NotificationFilter);
  winsim::Registration registration{static_cast<HWND>(hRecipient), filter->dbcc_classguid,
                                    (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0};
  auto &registrations = winsim::TheRegistrations();
  std::lock_guard<std::mutex> guard(registrations.lock);
  const ULONG_PTR handle = registrations.next;
  registrations.next += 0x10;
  registrations.byHandle[handle] = registration;
  return reinterpret_cast<HDEVNOTIFY>(handle);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  auto &registrations = winsim::TheRegistrations();
  std::lock_guard<std::mutex> guard(registrations.lock);
  if (registrations.byHandle.erase(reinterpret_cast<ULONG_PTR>(Handle)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
