#include "uac2common/directks/filter.h"

#include <new>

#include "uac2common/directks/kstrace.h"
#include "uac2common/directks/pin.h"

using directks::kPropSetPin;
using directks::kPropSetTopology;

void KsCopyString(LPSTR destination, size_t size, LPCSTR source) {
  if (size == 0) return;
  size_t i = 0;
  for (; source != nullptr && i + 1 < size && source[i] != '\0'; ++i) destination[i] = source[i];
  destination[i] = '\0';
}

CKsFilter::CKsFilter(LPCSTR pszName, HRESULT *phr) : CKsIrpTarget(INVALID_HANDLE_VALUE) {
  KsTraceCall call("CKsFilter::CKsFilter");
  InternalInit();
  HRESULT hr = S_OK;
  if (pszName == nullptr) {
    KsTrace(1, "pszName cannot be NULL");
    hr = E_INVALIDARG;
  } else {
    KsCopyString(m_szFilterName, sizeof m_szFilterName, pszName);
  }
  if (phr != nullptr) *phr = hr;
}

CKsFilter::~CKsFilter() {
  KsTraceCall call("CKsFilter::~CKsFilter");
  DestroyLists();
  SafeCloseHandle(m_handle);
}

void CKsFilter::InternalInit() {
  m_szFilterName[0] = '\0';
  m_szFriendlyName[0] = '\0';
}

void CKsFilter::SetFriendlyName(LPCSTR name) { KsCopyString(m_szFriendlyName, sizeof m_szFriendlyName, name); }

HRESULT CKsFilter::Instantiate() {
  KsTraceCall call("CKsFilter::Instantiate");
  // Opening again replaces the handle rather than leaking it.
  SafeCloseHandle(m_handle);
  m_handle = CreateFileA(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (!IsValidHandle(m_handle)) {
    KsTrace(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x", m_szFilterName,
            static_cast<unsigned>(GetLastError()));
    return call.Return(E_FAIL);
  }
  return call.Return(S_OK);
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, REFGUID set, ULONG id, PVOID value, ULONG valueSize) {
  KsTraceCall call("CKsFilter::GetPinPropertySimple");
  KSP_PIN request = {};
  request.Property.Set = set;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  request.Reserved = 0;
  ULONG count = 0;
  return call.Return(SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof request, value, valueSize, &count));
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, REFGUID set, ULONG id, PKSMULTIPLE_ITEM *items) {
  KsTraceCall call("CKsFilter::GetPinPropertyMulti");
  if (items == nullptr) return call.Return(E_POINTER);
  KSP_PIN request = {};
  request.Property.Set = set;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  ULONG size = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0, &size);
  if (FAILED(hr)) return call.Return(hr);
  // A failed allocation shows as a failed read (no buffer to read into).
  auto *data = new (std::nothrow) UCHAR[size];
  ULONG count = 0;
  hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof request, data, data != nullptr ? size : 0, &count);
  if (data == nullptr && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
  auto *list = reinterpret_cast<PKSMULTIPLE_ITEM>(data);
  // The list's own Size must be within what was allocated and hold its header.
  if (SUCCEEDED(hr) && (size < sizeof(KSMULTIPLE_ITEM) || list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > size)) {
    hr = E_FAIL;
  }
  if (FAILED(hr)) {
    FreeBuffer(data);
    return call.Return(hr);
  }
  *items = list;
  return call.Return(hr);
}

HRESULT CKsFilter::GetPinCount(PULONG count) {
  *count = 0;
  return GetPinPropertySimple(0, kPropSetPin, KSPROPERTY_PIN_CTYPES, count, sizeof(ULONG));
}

HRESULT CKsFilter::EnumeratePins() {
  KsTraceCall call("CKsFilter::EnumeratePins");
  // Enumerating again starts over rather than listing every pin twice.
  ClearClassifiedLists();
  DeletePins();
  ULONG count = 0;
  HRESULT hr = GetPinCount(&count);
  if (SUCCEEDED(hr)) {
    for (ULONG id = 0; id < count; ++id) {
      HRESULT pinStatus = S_OK;
      auto *pin = new (std::nothrow) CKsPin(this, id, &pinStatus);
      if (pin == nullptr) {
        hr = E_OUTOFMEMORY;
        KsTrace(1, "Failed to create pin");
        continue;
      }
      if (FAILED(pinStatus)) {
        KsTrace(1, "Failed to construct pin");
        delete pin;
        continue;
      }
      if (m_lstPins.AddTail(pin) == nullptr) {
        KsTrace(1, "Failed to add pin to list");
        delete pin;
      }
    }
    hr = ClassifyPins();
  }
  if (!HasClassifiedPins()) {
    KsTrace(1, "Filter is not viable. It has no pins.");
    hr = E_FAIL;
  }
  return call.Return(hr);
}

bool CKsFilter::HasClassifiedPins() const {
  return !m_lstInSinkPins.IsEmpty() || !m_lstOutSourcePins.IsEmpty() || !m_lstOutSinkPins.IsEmpty() ||
         !m_lstInSourcePins.IsEmpty() || !m_lstNoCommPins.IsEmpty();
}

HRESULT CKsFilter::ClassifyPins() {
  KsTraceCall call("CKsFilter::ClassifyPins");
  ClearClassifiedLists();
  for (TListNode<CKsPin> *node = m_lstPins.GetHead(); node != nullptr; node = TList<CKsPin>::GetNext(node)) {
    CKsPin *pin = TList<CKsPin>::GetData(node);
    ULONG communication = 0;
    ULONG dataFlow = 0;
    HRESULT hr = pin->GetCommunication(&communication);
    if (SUCCEEDED(hr)) hr = pin->GetDataFlow(&dataFlow);
    if (FAILED(hr)) return call.Return(hr);
    const bool in = dataFlow == KSPIN_DATAFLOW_IN;
    TList<CKsPin> *first = nullptr;
    TList<CKsPin> *second = nullptr;
    switch (communication) {
      case KSPIN_COMMUNICATION_NONE:
        first = &m_lstNoCommPins;
        break;
      case KSPIN_COMMUNICATION_SINK:
        first = in ? &m_lstInSinkPins : &m_lstOutSinkPins;
        break;
      case KSPIN_COMMUNICATION_SOURCE:
        first = in ? &m_lstInSourcePins : &m_lstOutSourcePins;
        break;
      case KSPIN_COMMUNICATION_BOTH:
        first = in ? &m_lstInSinkPins : &m_lstOutSinkPins;
        second = in ? &m_lstInSourcePins : &m_lstOutSourcePins;
        break;
      default:
        KsTrace(5, "Pin communication type not recognized");
        continue;
    }
    bool added = first->AddTail(pin) != nullptr;
    if (second != nullptr) added = second->AddTail(pin) != nullptr && added;
    if (!added) return call.Return(E_OUTOFMEMORY);
  }
  return call.Return(S_OK);
}

HRESULT CKsFilter::EnumerateNodes() {
  KsTraceCall call("CKsFilter::EnumerateNodes");
  while (CKsNode *node = m_lstNodes.RemoveHead()) delete node;
  PUCHAR buffer = nullptr;
  ULONG size = 0;
  HRESULT hr = GetPropertyMulti(kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer, &size);
  if (FAILED(hr)) {
    KsTrace(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    FreeBuffer(buffer);
    return call.Return(hr);
  }
  if (buffer == nullptr) return call.Return(S_OK);  // no nodes
  const auto *list = reinterpret_cast<const KSMULTIPLE_ITEM *>(buffer);
  // Only as many GUIDs as both the list and the buffer hold.
  ULONG count = 0;
  if (size >= sizeof(KSMULTIPLE_ITEM) && list->Size >= sizeof(KSMULTIPLE_ITEM) && list->Size <= size) {
    count = list->Count;
    if (count > (list->Size - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID)) hr = E_FAIL;
  } else {
    hr = E_FAIL;
  }
  const auto *types = reinterpret_cast<const GUID *>(list + 1);
  for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i) {
    HRESULT nodeStatus = S_OK;
    GUID type;
    std::memcpy(&type, &types[i], sizeof type);
    auto *node = new (std::nothrow) CKsNode(i, type, &nodeStatus);
    if (node == nullptr) continue;
    if (m_lstNodes.AddTail(node) == nullptr) {
      hr = E_OUTOFMEMORY;
      delete node;
    }
  }
  if (SUCCEEDED(hr) && static_cast<ULONG>(m_lstNodes.GetCount()) < count) hr = E_FAIL;
  if (FAILED(hr)) {
    while (CKsNode *node = m_lstNodes.RemoveHead()) delete node;
  }
  FreeBuffer(buffer);
  return call.Return(hr);
}

void CKsFilter::DeletePins() {
  // Through the pin's virtual destructor, not Release: the filter owns its pins.
  while (CKsPin *pin = m_lstPins.RemoveHead()) delete pin;
}

void CKsFilter::ClearClassifiedLists() {
  m_lstInSinkPins.RemoveAll();
  m_lstOutSourcePins.RemoveAll();
  m_lstOutSinkPins.RemoveAll();
  m_lstInSourcePins.RemoveAll();
  m_lstNoCommPins.RemoveAll();
}

HRESULT CKsFilter::DestroyLists() {
  KsTraceCall call("CKsFilter::DestroyLists");
  while (CKsNode *node = m_lstNodes.RemoveHead()) delete node;
  ClearClassifiedLists();
  DeletePins();
  return call.Return(S_OK);
}
