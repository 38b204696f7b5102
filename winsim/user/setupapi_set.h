// Device information sets of winsim's SetupAPI: the devices and device
// interfaces a caller enumerated or opened, held as a handle of the calling
// process. Elements are only ever added, so an element's index (kept, plus
// one, in the Reserved member of the caller's SP_DEVINFO_DATA and
// SP_DEVICE_INTERFACE_DATA) stays valid for the set's lifetime.
#pragma once
#include <setupapi.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "winsim/kernel/pnp_manager.h"
#include "winsim/user/handles.h"

namespace winsim {

struct SetDevice {
  std::u16string instancePath;
  GUID classGuid{};
  DWORD devInst = 0;
};

struct SetInterface {
  DeviceInterfaceInfo info;
  size_t device = 0;  // index into the set's devices
};

class DeviceInfoSet : public UserObject {
 public:
  explicit DeviceInfoSet(std::optional<GUID> classGuid) : m_classGuid(classGuid) {}
  const char *TypeName() const override { return "DeviceInfoSet"; }

  const std::optional<GUID> &ClassGuid() const { return m_classGuid; }
  // Adds the device (once) and returns its index.
  size_t AddDevice(const std::u16string &instancePath, const GUID &classGuid);
  // Adds the interface (once, by link) with its device and returns its index.
  size_t AddInterface(const DeviceInterfaceInfo &info, const GUID &deviceClass);

  std::optional<SetDevice> Device(size_t index) const;
  std::optional<SetInterface> Interface(size_t index) const;
  std::optional<size_t> FindInterface(const std::u16string &symbolicLink) const;
  // Interfaces of a class, of one device when device is given, in order.
  std::vector<size_t> InterfacesOf(const GUID &interfaceClass, std::optional<size_t> device) const;

 private:
  mutable std::mutex m_lock;
  std::optional<GUID> m_classGuid;
  std::vector<SetDevice> m_devices;
  std::vector<SetInterface> m_interfaces;
};

std::shared_ptr<DeviceInfoSet> LookupDeviceInfoSet(HDEVINFO set);

// The setup class of a present device; zero when it is not known.
GUID DeviceSetupClass(const std::u16string &instancePath);

// Checks a caller's SP_DEVINFO_DATA / SP_DEVICE_INTERFACE_DATA: ERROR_SUCCESS
// and the element's index, or the Win32 error to fail with.
DWORD CheckDeviceData(const DeviceInfoSet &set, const SP_DEVINFO_DATA *data, size_t *index);
DWORD CheckInterfaceData(const DeviceInfoSet &set, const SP_DEVICE_INTERFACE_DATA *data, size_t *index);

void FillDeviceData(const DeviceInfoSet &set, size_t index, SP_DEVINFO_DATA *data);
void FillInterfaceData(const DeviceInfoSet &set, size_t index, SP_DEVICE_INTERFACE_DATA *data);

}  // namespace winsim
