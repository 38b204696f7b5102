#include "uac2common/directks/audfilter.h"

#include <new>

#include "uac2common/directks/kstrace.h"

using directks::kPropSetPin;

CKsAudFilter::CKsAudFilter(LPCSTR pszName, HRESULT *phr) : CKsFilter(pszName, phr) {}

namespace {

// Every pin of an audio filter is a CKsAudPin (EnumeratePins makes no other kind).
CKsAudPin *AudioPin(CKsPin *pin) { return static_cast<CKsAudPin *>(pin); }

CKsAudPin *FirstSupporting(const TList<CKsPin> &pins, const WAVEFORMATEX *pwfx) {
  for (TListNode<CKsPin> *node = pins.GetHead(); node != nullptr; node = TList<CKsPin>::GetNext(node)) {
    CKsAudPin *pin = AudioPin(TList<CKsPin>::GetData(node));
    if (pin->IsFormatSupported(pwfx)) return pin;
  }
  return nullptr;
}

}  // namespace

// One pin by its communication and data flow. E_OUTOFMEMORY only when the
// pin or its list node cannot be allocated; a pin that is skipped or fails
// to construct is S_OK.
HRESULT CKsAudFilter::AddAudioPin(ULONG id) {
  ULONG communication = 0;
  if (FAILED(GetPinPropertySimple(id, kPropSetPin, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof(ULONG)))) {
    KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
    return S_OK;
  }
  if (communication < KSPIN_COMMUNICATION_SINK || communication > KSPIN_COMMUNICATION_BOTH) {
    KsTrace(1, "Pin communication value doesn't make sense");
    return S_OK;
  }
  ULONG dataFlow = 0;
  if (FAILED(GetPinPropertySimple(id, kPropSetPin, KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof(ULONG)))) {
    KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
    return S_OK;
  }
  HRESULT status = S_OK;
  CKsAudPin *pin = nullptr;
  if (communication == KSPIN_COMMUNICATION_SINK && dataFlow == KSPIN_DATAFLOW_IN) {
    pin = new (std::nothrow) CKsAudRenPin(this, id, &status);
  } else if (communication == KSPIN_COMMUNICATION_SINK && dataFlow == KSPIN_DATAFLOW_OUT) {
    pin = new (std::nothrow) CKsAudCapPin(this, id, &status);
  } else {
    pin = new (std::nothrow) CKsAudPin(this, id, &status);
  }
  if (pin == nullptr) {
    KsTrace(1, "Failed to create audio pin");
    return E_OUTOFMEMORY;
  }
  if (FAILED(status)) {
    delete pin;
    return S_OK;
  }
  if (m_lstPins.AddTail(pin) == nullptr) {
    delete pin;
    KsTrace(1, "Unable to allocate list entry to save pin in");
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CKsAudFilter::EnumeratePins() {
  KsTraceCall call("CKsAudFilter::EnumeratePins");
  ClearClassifiedLists();
  DeletePins();
  ULONG count = 0;
  if (FAILED(GetPinCount(&count))) {
    KsTrace(1, "Failed to retrieve count of pins in audio filter");
    count = 0;
  }
  for (ULONG id = 0; id < count; ++id) {
    if (FAILED(AddAudioPin(id))) {
      KsTrace(1, "Ran out of memory enumerating pins - deleting all pins");
      DeletePins();
      return call.Return(E_OUTOFMEMORY);
    }
  }
  ClassifyPins();
  const bool viable = !m_lstInSinkPins.IsEmpty() || !m_lstOutSourcePins.IsEmpty() || !m_lstOutSinkPins.IsEmpty() ||
                      !m_lstInSourcePins.IsEmpty();
  return call.Return(viable ? S_OK : E_FAIL);
}

CKsAudPin *CKsAudFilter::FindViableRenPin(const WAVEFORMATEX *pwfx) const {
  KsTraceCall call("CKsAudFilter::FindViableRenPin");
  return FirstSupporting(m_lstInSinkPins, pwfx);
}

CKsAudPin *CKsAudFilter::FindViableCapPin(const WAVEFORMATEX *pwfx) const {
  KsTraceCall call("CKsAudFilter::FindViableCapPin");
  return FirstSupporting(m_lstOutSinkPins, pwfx);
}

bool CKsAudFilter::CanCreateRenderPin(const WAVEFORMATEX *pwfx) const {
  KsTraceCall call("CKsAudFilter::CanCreateRenderPin");
  if (FindViableRenPin(pwfx) != nullptr) return true;
  KsTrace(4, "Could not find a Render pin that supports the given wave format");
  return false;
}

CKsAudPin *CKsAudFilter::CreateRenderPin(const WAVEFORMATEX *pwfx, ULONG looped) {
  KsTraceCall call("CKsAudFilter::CreateRenderPin");
  CKsAudPin *pin = FindViableRenPin(pwfx);
  if (pin == nullptr) {
    KsTrace(4, "Could not find a Render pin that supports the given wave format");
    return nullptr;
  }
  if (FAILED(pin->SetFormat(pwfx))) {
    KsTrace(1, "Failed to set Render Pin format - the pin lied about its supported formats");
    return nullptr;
  }
  if (FAILED(pin->Instantiate(looped))) {
    KsTrace(1, "Failed to instantiate Render Pin");
    return nullptr;
  }
  KsTrace(5, "Successfully instantiated Render Pin.  Handle = 0x%08x",
          static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
  return pin;
}

CKsAudPin *CKsAudFilter::CreateCapturePin(const WAVEFORMATEX *pwfx, ULONG looped) {
  KsTraceCall call("CKsAudFilter::CreateCapturePin");
  CKsAudPin *pin = FindViableCapPin(pwfx);
  if (pin == nullptr) {
    KsTrace(1, "Could not find a Capture pin that supports the given wave format");
    return nullptr;
  }
  if (FAILED(pin->SetFormat(pwfx))) {
    KsTrace(1, "Failed to set Capture Pin format");
    return nullptr;
  }
  if (FAILED(pin->Instantiate(looped))) {
    KsTrace(1, "Failed to instantiate Capture Pin");
    return nullptr;
  }
  KsTrace(5, "Successfully instantiated Capture Pin.  Handle = 0x%08x",
          static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
  return pin;
}

HRESULT CKsAudFilter::GetCapturePin(CKsAudPin **pin) const {
  KsTraceCall call("CKsAudFilter::GetCapturePin");
  if (pin == nullptr) return call.Return(E_POINTER);
  if (m_lstOutSinkPins.IsEmpty()) return call.Return(E_FAIL);
  *pin = AudioPin(TList<CKsPin>::GetData(m_lstOutSinkPins.GetHead()));
  return call.Return(S_OK);
}
