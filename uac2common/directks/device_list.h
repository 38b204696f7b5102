// CDeviceList: the present device interfaces of one interface class, found
// through SetupAPI, each with its friendly name and its driver's image path.
// It can follow arrivals and removals through WM_DEVICECHANGE.
//
// Not locked: a list is used by the thread that owns it (OnDeviceChange runs
// on the window thread that receives the broadcast).
#pragma once
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstddef>

// One listed device: three fixed 260-byte strings, each cut to 259
// characters and terminated.
struct DeviceEntry {
  CHAR DevicePath[MAX_PATH];    // the device-interface path, the name to open
  CHAR ImagePath[MAX_PATH];     // "ImagePath" of the driver's service key, or empty
  CHAR FriendlyName[MAX_PATH];  // the interface key's "FriendlyName", else the device description
};
static_assert(sizeof(DeviceEntry) == 780, "DeviceEntry layout");

class CDeviceList {
 public:
  static constexpr size_t kMaxDevices = 32;

  explicit CDeviceList(REFGUID interfaceClass);
  // Not virtual: owners destroy a list through its own type. Unregisters the
  // notification, then deletes every entry (without OnDeviceRemoved).
  ~CDeviceList();
  CDeviceList(const CDeviceList &) = delete;
  CDeviceList &operator=(const CDeviceList &) = delete;

  // Adds every present interface of the class that is not yet listed, in
  // SetupAPI's order. Failures are not reported: a device whose details
  // cannot be read is skipped.
  void EnumerateDevices();
  // Adds one path unless it is listed (paths compare without regard to case).
  void AddDevice(LPCSTR path);
  // Removes every entry with that path; later entries keep their order.
  void RemoveDevice(LPCSTR path);

  // WM_DEVICECHANGE: an interface of this list's class arrived
  // (DBT_DEVICEARRIVAL) or left (DBT_DEVICEREMOVECOMPLETE). Returns, and
  // stores in *handled, 1 when the message was for this list, else 0.
  BOOL OnDeviceChange(UINT message, WPARAM wParam, LPARAM lParam, BOOL *handled);

  HDEVNOTIFY RegisterForNotifications(HWND window);
  BOOL UnregisterForNotifications();

  size_t GetDeviceCount() const { return m_cEntries; }
  // The entry in that slot, borrowed; null for an index not below the count.
  DeviceEntry *GetDevice(size_t index) const { return index < m_cEntries ? m_apEntries[index] : nullptr; }

 protected:
  // A new entry: true keeps it, false drops it (it is then deleted).
  virtual bool OnDeviceAdded(DeviceEntry *entry);
  // Called before an entry is deleted.
  virtual void OnDeviceRemoved(DeviceEntry *entry);

 private:
  bool IsListed(LPCSTR path) const;
  // Fills, offers and keeps or deletes an entry for a path not yet listed.
  void AddNewDevice(LPCSTR path);
  static void FillDeviceEntry(DeviceEntry *entry, LPCSTR path);

  GUID m_guidClass;
  HDEVNOTIFY m_hNotify;  // kNoNotify: none
  DeviceEntry *m_apEntries[kMaxDevices];
  size_t m_cEntries;
};
