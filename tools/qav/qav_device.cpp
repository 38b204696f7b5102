#include "tools/qav/qav_device.h"

#include <new>

#include "uac2common/uac2private.h"

namespace qav {

CQavDevices::CQavDevices() : m_list(KSCATEGORY_UacPrivate) { m_list.EnumerateDevices(); }

CQavDevice::~CQavDevice() {
  if (m_filter != nullptr) m_filter->Release();
}

bool CQavDevice::Open(std::string *error) {
  CQavDevices devices;
  const DeviceEntry *entry = devices.Entry(0);
  if (entry == nullptr) {
    *error = "no QavAudio device is present (is the interface plugged in and its driver installed?)";
    return false;
  }
  HRESULT status = S_OK;
  m_filter = new (std::nothrow) CKsAudFilter(entry->DevicePath, &status);
  if (m_filter == nullptr || FAILED(status) || FAILED(m_filter->Instantiate())) {
    *error = std::string("the device's filter did not open: ") + entry->DevicePath;
    return false;
  }
  m_filter->SetFriendlyName(entry->FriendlyName);
  m_filter->EnumeratePins();  // a filter without audio pins still answers the private set
  m_name = entry->FriendlyName;
  return true;
}

HRESULT CQavDevice::GetU32(ULONG id, ULONG *value) {
  *value = 0;
  return m_filter->GetPropertySimple(KSPROPSETID_UacPrivate, id, value, sizeof *value);
}

HRESULT CQavDevice::SetU32(ULONG id, ULONG value) {
  return m_filter->SetPropertySimple(KSPROPSETID_UacPrivate, id, &value, sizeof value);
}

}  // namespace qav
