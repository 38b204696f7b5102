#include "uac2common/directks/device_list.h"

#include <cstddef>
#include <cstring>
#include <new>

// What the enumeration relies on, in 64-bit and 32-bit builds alike: the
// detail structure's fixed part (what its cbSize must hold) and where a
// device broadcast keeps its interface class.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void *) == 8 ? 8 : 5), "detail fixed part");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == 12, "broadcast class offset");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "broadcast filter size");

namespace {

const HDEVNOTIFY kNoNotify = reinterpret_cast<HDEVNOTIFY>(static_cast<LONG_PTR>(-1));

// The detail buffer of an enumeration step: the fixed part and a path of up
// to 519 characters.
constexpr DWORD kDetailBufferSize = 528;
// The detail read that only wants the device's information data.
constexpr DWORD kShortDetailBufferSize = MAX_PATH;

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

// _stricmp for ASCII: device paths are ASCII.
bool SamePath(LPCSTR a, LPCSTR b) {
  for (;; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

void CopyCut(LPSTR destination, LPCSTR source) {
  size_t length = strnlen(source, MAX_PATH - 1);
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// Longest value read for a name field; anything longer is not a name.
constexpr DWORD kMaxNameValueBytes = 32 * 1024;

// Fills a 260-byte field from a string read in two steps: size, then text.
// A longer string is cut to 259 characters; stored strings need not be
// terminated, so the text ends at the byte count read. The field changes
// only when the read succeeds. read(buffer, size, type, bytes) is one call
// of the reading API; with a null buffer it asks for the size.
template <class Read>
void ReadCut(LPSTR field, Read read) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  read(nullptr, 0, &type, &size);
  if (size == 0 || size > kMaxNameValueBytes) return;
  auto *text = new (std::nothrow) CHAR[size + 1];
  if (text == nullptr) return;
  DWORD bytes = size;
  if (read(reinterpret_cast<LPBYTE>(text), size, &type, &bytes) && IsStringType(type) && bytes <= size) {
    text[bytes] = '\0';
    CopyCut(field, text);
  }
  delete[] text;
}

void ReadStringValue(HKEY key, LPCSTR name, LPSTR field) {
  ReadCut(field, [&](LPBYTE buffer, DWORD size, DWORD *type, DWORD *bytes) {
    *bytes = size;
    return RegQueryValueExA(key, name, nullptr, type, buffer, bytes) == ERROR_SUCCESS;
  });
}

void ReadDeviceDescription(HDEVINFO set, SP_DEVINFO_DATA *device, LPSTR field) {
  ReadCut(field, [&](LPBYTE buffer, DWORD size, DWORD *type, DWORD *bytes) {
    return SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, type, buffer, size, bytes) != FALSE;
  });
}

// A device property string, terminated at the byte count read.
bool ReadDeviceString(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property, LPSTR buffer, DWORD size) {
  DWORD type = REG_NONE;
  DWORD required = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, reinterpret_cast<PBYTE>(buffer), size,
                                         &required) ||
      !IsStringType(type)) {
    buffer[0] = '\0';
    return false;
  }
  buffer[required < size ? required : size - 1] = '\0';
  return buffer[0] != '\0';
}

void ReadImagePath(HDEVINFO set, SP_DEVINFO_DATA *device, DeviceEntry *entry) {
  CHAR keyPath[MAX_PATH];
  const DWORD prefix = sizeof kServicesKey - 1;
  std::memcpy(keyPath, kServicesKey, prefix);
  if (!ReadDeviceString(set, device, SPDRP_SERVICE, keyPath + prefix, MAX_PATH - prefix)) return;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  ReadStringValue(key, "ImagePath", entry->ImagePath);
  RegCloseKey(key);
}

}  // namespace

CDeviceList::CDeviceList(REFGUID interfaceClass)
    : m_guidClass(interfaceClass), m_hNotify(kNoNotify), m_apEntries{}, m_cEntries(0) {}

CDeviceList::~CDeviceList() {
  if (m_hNotify != kNoNotify) UnregisterForNotifications();
  for (size_t i = 0; i < m_cEntries; ++i) delete m_apEntries[i];
  m_cEntries = 0;
}

void CDeviceList::EnumerateDevices() {
  HDEVINFO set = SetupDiGetClassDevsA(&m_guidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &m_guidClass, index, &data); ++index) {
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(new (std::nothrow) BYTE[kDetailBufferSize]);
    if (detail == nullptr) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferSize, nullptr, &device) &&
        !IsListed(detail->DevicePath)) {
      AddNewDevice(detail->DevicePath);
    }
    delete[] reinterpret_cast<BYTE *>(detail);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void CDeviceList::AddDevice(LPCSTR path) {
  if (path == nullptr || IsListed(path)) return;
  AddNewDevice(path);
}

void CDeviceList::RemoveDevice(LPCSTR path) {
  if (path == nullptr) return;
  size_t i = 0;
  while (i < m_cEntries) {
    DeviceEntry *entry = m_apEntries[i];
    if (!SamePath(entry->DevicePath, path)) {
      ++i;
      continue;
    }
    OnDeviceRemoved(entry);
    delete entry;
    for (size_t later = i + 1; later < m_cEntries; ++later) m_apEntries[later - 1] = m_apEntries[later];
    m_apEntries[--m_cEntries] = nullptr;
  }
}

BOOL CDeviceList::OnDeviceChange(UINT message, WPARAM wParam, LPARAM lParam, BOOL *handled) {
  const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
  const bool forThisList = message == WM_DEVICECHANGE && broadcast != nullptr &&
                           broadcast->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
                           std::memcmp(&broadcast->dbcc_classguid, &m_guidClass, sizeof(GUID)) == 0;
  if (!forThisList) {
    if (handled != nullptr) *handled = FALSE;
    return FALSE;
  }
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (wParam == DBT_DEVICEARRIVAL) AddDevice(broadcast->dbcc_name);
  if (wParam == DBT_DEVICEREMOVECOMPLETE) RemoveDevice(broadcast->dbcc_name);
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  if (handled != nullptr) *handled = TRUE;
  return TRUE;
}

HDEVNOTIFY CDeviceList::RegisterForNotifications(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = m_guidClass;
  // A registration this list already holds is given back first, so that
  // none leaks.
  if (m_hNotify != kNoNotify) UnregisterForNotifications();
  HDEVNOTIFY notify = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  m_hNotify = notify != nullptr ? notify : kNoNotify;
  return notify;
}

BOOL CDeviceList::UnregisterForNotifications() {
  BOOL result = UnregisterDeviceNotification(m_hNotify);
  m_hNotify = kNoNotify;
  return result;
}

bool CDeviceList::OnDeviceAdded(DeviceEntry *entry) {
  (void)entry;
  return true;
}

void CDeviceList::OnDeviceRemoved(DeviceEntry *entry) { (void)entry; }

bool CDeviceList::IsListed(LPCSTR path) const {
  for (size_t i = 0; i < m_cEntries; ++i) {
    if (SamePath(m_apEntries[i]->DevicePath, path)) return true;
  }
  return false;
}

void CDeviceList::AddNewDevice(LPCSTR path) {
  // The table is full: the device is not listed (and no filter is opened for it).
  if (m_cEntries == kMaxDevices) return;
  auto *entry = new (std::nothrow) DeviceEntry;
  if (entry == nullptr) return;
  FillDeviceEntry(entry, path);
  if (!OnDeviceAdded(entry)) {
    delete entry;
    return;
  }
  m_apEntries[m_cEntries++] = entry;
}

void CDeviceList::FillDeviceEntry(DeviceEntry *entry, LPCSTR path) {
  CopyCut(entry->DevicePath, path);
  entry->ImagePath[0] = '\0';
  entry->FriendlyName[0] = '\0';
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  BYTE *buffer = nullptr;
  if (SetupDiOpenDeviceInterfaceA(set, path, 0, &data)) {
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &data, 0, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      ReadStringValue(key, "FriendlyName", entry->FriendlyName);
      RegCloseKey(key);
    }
    buffer = new (std::nothrow) BYTE[kShortDetailBufferSize];
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (detail != nullptr) detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (detail != nullptr && SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kShortDetailBufferSize, nullptr, &device)) {
      if (entry->FriendlyName[0] == '\0') {
        ReadDeviceDescription(set, &device, entry->FriendlyName);
      }
      ReadImagePath(set, &device, entry);
    }
  }
  delete[] buffer;
  SetupDiDestroyDeviceInfoList(set);
}
