#include "uac2common/directks/pin.h"

#include "uac2common/directks/filter.h"
#include "uac2common/directks/kstrace.h"
#include "uac2common/directks/util.h"

using directks::GuidEquals;
using directks::kPropSetConnection;
using directks::kPropSetPin;

CKsPin::CKsPin(CKsFilter *filter, ULONG pinId, HRESULT *phr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE), m_ulPinId(pinId), m_pFilter(filter) {
  KsTraceCall call("CKsPin::CKsPin");
  HRESULT hr = Init();
  if (phr != nullptr) *phr = hr;
}

CKsPin::~CKsPin() {
  KsTraceCall call("CKsPin::~CKsPin");
  ClosePin();
  FreePinConnect();
  FreeDescriptorBuffers();
}

void CKsPin::FreePinConnect() {
  delete[] reinterpret_cast<PUCHAR>(m_pksPinCreate);
  m_pksPinCreate = nullptr;
  m_cbPinCreate = 0;
}

void CKsPin::FreeDescriptorBuffers() {
  FreeBuffer(m_Descriptor.DataRangesItem);
  FreeBuffer(m_Descriptor.MediumsItem);
  FreeBuffer(m_Descriptor.InterfacesItem);
  m_Descriptor.DataRangesItem = m_Descriptor.MediumsItem = m_Descriptor.InterfacesItem = nullptr;
  m_Descriptor.Interfaces = nullptr;
  m_Descriptor.Mediums = nullptr;
  m_Descriptor.DataRanges = nullptr;
  m_Descriptor.InterfacesCount = m_Descriptor.MediumsCount = m_Descriptor.DataRangesCount = 0;
}

HRESULT CKsPin::QuerySimple(ULONG id, PVOID value, ULONG size, const char *failure) {
  HRESULT hr = m_pFilter->GetPinPropertySimple(m_ulPinId, kPropSetPin, id, value, size);
  if (FAILED(hr)) {
    std::memset(value, 0, size);
    KsTrace(3, failure, static_cast<unsigned>(m_ulPinId));
  }
  return hr;
}

HRESULT CKsPin::QueryList(ULONG id, PKSMULTIPLE_ITEM *items, const char *failure) {
  HRESULT hr = m_pFilter->GetPinPropertyMulti(m_ulPinId, kPropSetPin, id, items);
  if (FAILED(hr)) KsTrace(3, failure, static_cast<unsigned>(m_ulPinId));
  return hr;
}

namespace {

// The items of a list, and as many of them as its Size holds.
template <class T>
const T *ListItems(const KSMULTIPLE_ITEM *list, ULONG *count) {
  *count = 0;
  if (list == nullptr) return nullptr;
  ULONG fit = (list->Size - static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM))) / static_cast<ULONG>(sizeof(T));
  *count = list->Count < fit ? list->Count : fit;
  return reinterpret_cast<const T *>(list + 1);
}

}  // namespace

HRESULT CKsPin::Init() {
  KsTraceCall call("CKsPin::Init");
  FreeDescriptorBuffers();
  std::memset(&m_Descriptor, 0, sizeof m_Descriptor);
  KsPinDescriptor &d = m_Descriptor;
  bool failed = false;
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_COMMUNICATION, &d.Communication, sizeof(ULONG),
                               "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %u"));
  failed |= FAILED(QueryList(KSPROPERTY_PIN_INTERFACES, &d.InterfacesItem,
                             "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %u"));
  d.Interfaces = ListItems<KSPIN_INTERFACE>(d.InterfacesItem, &d.InterfacesCount);
  failed |= FAILED(QueryList(KSPROPERTY_PIN_MEDIUMS, &d.MediumsItem,
                             "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %u"));
  d.Mediums = ListItems<KSPIN_MEDIUM>(d.MediumsItem, &d.MediumsCount);
  failed |= FAILED(QueryList(KSPROPERTY_PIN_DATARANGES, &d.DataRangesItem,
                             "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %u"));
  if (d.DataRangesItem != nullptr) {
    d.DataRangesCount = d.DataRangesItem->Count;
    d.DataRanges = reinterpret_cast<const KSDATARANGE *>(d.DataRangesItem + 1);
  }
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_DATAFLOW, &d.DataFlow, sizeof(ULONG),
                               "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %u"));
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_CINSTANCES, &d.CInstances, sizeof(KSPIN_CINSTANCES),
                               "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %u"));
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_GLOBALCINSTANCES, &d.CInstancesGlobal, sizeof(KSPIN_CINSTANCES),
                               "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %u"));
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_CATEGORY, &m_guidCategory, sizeof(GUID),
                               "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %u"));
  std::memset(m_szPinName, 0, sizeof m_szPinName);
  // One byte short of the buffer, so the text stays terminated.
  failed |= FAILED(QuerySimple(KSPROPERTY_PIN_NAME, m_szPinName, sizeof m_szPinName - 1,
                               "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %u"));
  return call.Return(failed ? S_FALSE : S_OK);
}

HRESULT CKsPin::GetCommunication(PULONG communication) const {
  KS_ASSERT(communication != nullptr);
  if (communication == nullptr) return E_POINTER;
  *communication = m_Descriptor.Communication;
  return S_OK;
}

HRESULT CKsPin::GetDataFlow(PULONG dataFlow) const {
  KS_ASSERT(dataFlow != nullptr);
  if (dataFlow == nullptr) return E_POINTER;
  *dataFlow = m_Descriptor.DataFlow;
  return S_OK;
}

bool CKsPin::HasDataRangeWithSpecifier(const GUID *specifier) const {
  if (specifier == nullptr) return false;
  bool found = false;
  directks::WalkDataRanges(m_Descriptor.DataRangesItem, [&](const KSDATARANGE *range) {
    found = GuidEquals(range->Specifier, *specifier);
    return !found;
  });
  return found;
}
