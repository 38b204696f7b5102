// The driver's devices as a user-mode client finds them: the interfaces of
// the driver's private filter category through SetupAPI, each opened as a
// KS filter. The device commands work on the first one.
#pragma once
#include <string>

#include "uac2common/directks/audfilter.h"
#include "uac2common/directks/device_list.h"

namespace qav {

// The private category's interfaces, enumerated at construction.
class CQavDevices {
 public:
  CQavDevices();
  size_t Count() const { return m_list.GetDeviceCount(); }
  const DeviceEntry *Entry(size_t index) const { return m_list.GetDevice(index); }

 private:
  CDeviceList m_list;
};

// The first device's filter, opened with its audio pins.
class CQavDevice {
 public:
  CQavDevice() = default;
  ~CQavDevice();
  CQavDevice(const CQavDevice &) = delete;
  CQavDevice &operator=(const CQavDevice &) = delete;

  // False with *error set (one line) when no device is there or its filter
  // does not open.
  bool Open(std::string *error);

  CKsAudFilter &Filter() { return *m_filter; }
  const std::string &Name() const { return m_name; }

  // u32 properties of the driver's private set on the filter.
  HRESULT GetU32(ULONG id, ULONG *value);
  HRESULT SetU32(ULONG id, ULONG value);

 private:
  CKsAudFilter *m_filter = nullptr;
  std::string m_name;
};

}  // namespace qav
