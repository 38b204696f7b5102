// TKsFilterList: a device list whose every accepted device is opened at once
// as a filter of class T. T derives from CKsFilter (or offers the same
// members): constructible from a device path with an out status,
// SetFriendlyName, virtual Instantiate and EnumeratePins, and the
// AddRef/Release of CRefCountedObject, a new object holding one reference.
//
// The list owns its filters by reference; users borrow them by plain
// pointer. Filters are held in the ascending order of their entries'
// addresses: the first filter and filter indexes mean this order.
#pragma once
#include <map>
#include <new>

#include "uac2common/directks/device_list.h"

// Holds one reference of a reference-counted object and drops it when
// destroyed.
template <class T>
class TRefPtr {
 public:
  TRefPtr() = default;
  // Takes over a reference the caller holds (as a new object's).
  explicit TRefPtr(T *adopted) : m_p(adopted) {}
  TRefPtr(const TRefPtr &other) : m_p(other.m_p) {
    if (m_p != nullptr) m_p->AddRef();
  }
  TRefPtr &operator=(const TRefPtr &other) {
    if (other.m_p != nullptr) other.m_p->AddRef();
    Reset();
    m_p = other.m_p;
    return *this;
  }
  ~TRefPtr() { Reset(); }

  void Reset() {
    T *p = m_p;
    m_p = nullptr;
    if (p != nullptr) p->Release();
  }
  T *Get() const { return m_p; }
  T *operator->() const { return m_p; }

 private:
  T *m_p = nullptr;
};

template <class T>
class TKsFilterList : public CDeviceList {
 public:
  explicit TKsFilterList(REFGUID interfaceClass) : CDeviceList(interfaceClass) {}
  // Drops every filter reference first, then the device list goes.
  ~TKsFilterList() { m_mapFilters.clear(); }

  size_t GetFilterCount() const { return m_mapFilters.size(); }
  // The index-th filter in the device list's order (the order the devices
  // were enumerated and arrived in), borrowed; null past the count. The map
  // is keyed by entry address, whose order is the heap's: walking it would
  // hand a host its devices (and so its channels) in a different order from
  // one run to the next.
  T *GetFilter(size_t index) const {
    size_t seen = 0;
    for (size_t i = 0; i < GetDeviceCount(); ++i) {
      auto it = m_mapFilters.find(GetDevice(i));
      if (it == m_mapFilters.end()) continue;
      if (seen++ == index) return it->second.Get();
    }
    return nullptr;
  }

 protected:
  // Opens the device's filter: the entry is kept only when the filter can be
  // constructed and instantiated and is acceptable. A filter whose pins
  // cannot be enumerated is still kept.
  bool OnDeviceAdded(DeviceEntry *entry) override {
    HRESULT status = S_OK;
    TRefPtr<T> filter(new (std::nothrow) T(entry->DevicePath, &status));
    if (filter.Get() == nullptr || FAILED(status)) return false;
    filter->SetFriendlyName(entry->FriendlyName);
    if (FAILED(filter->Instantiate())) return false;
    filter->EnumeratePins();
    if (!IsFilterAcceptable(filter.Get())) return false;
    m_mapFilters[entry] = filter;
    return true;
  }

  // Erasing drops the map's reference; the filter closes its pins and handle
  // when no other reference remains.
  void OnDeviceRemoved(DeviceEntry *entry) override { m_mapFilters.erase(entry); }

  virtual bool IsFilterAcceptable(T *filter) {
    (void)filter;
    return true;
  }

 private:
  std::map<DeviceEntry *, TRefPtr<T>> m_mapFilters;
};
