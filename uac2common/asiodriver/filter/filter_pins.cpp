// The pin side of CQZAudioFilter: the render and capture pin lists, opening
// both pins with the ASIO format, their states and their pending I/O.
#include "uac2common/asiodriver/filter/pin_format.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/directks/kstrace.h"

namespace {

constexpr ULONG kFallbackRate = 44100;
// Stream reads and writes, not a looped buffer.
constexpr ULONG kStandardStreaming = 0;

bool IsOpen(const CKsPin *pin) { return pin != nullptr && CKsIrpTarget::IsValidHandle(pin->GetHandle()); }

// nChannels of the format an open pin was opened with.
ULONG OpenChannels(const CKsAudPin *pin) {
  if (!IsOpen(pin) || pin->GetCurrentFormat() == nullptr) return 0;
  return pin->GetCurrentFormat()->nChannels;
}

}  // namespace

CQZAudioFilter::CQZAudioFilter(LPCSTR pszName, HRESULT *phr) : CKsAudFilter(pszName, phr) {}

LPCSTR CQZAudioFilter::GetFilterName() { return CKsFilter::GetFilterName(); }
LPCSTR CQZAudioFilter::GetFriendlyName() { return CKsFilter::GetFriendlyName(); }

const TList<CKsPin> &CQZAudioFilter::GetRenderPins() { return m_lstInSinkPins; }
const TList<CKsPin> &CQZAudioFilter::GetCapturePins() { return m_lstOutSinkPins; }

LONG CQZAudioFilter::GetRenderPinCount() { return GetRenderPins().GetCount(); }
LONG CQZAudioFilter::GetCapturePinCount() { return GetCapturePins().GetCount(); }

// CKsAudFilter::EnumeratePins puts only CKsAudRenPin objects in the render
// list and CKsAudCapPin objects in the capture list.
CKsAudRenPin *CQZAudioFilter::GetFirstRenderPin() {
  const TList<CKsPin> &pins = GetRenderPins();
  return pins.IsEmpty() ? nullptr : static_cast<CKsAudRenPin *>(TList<CKsPin>::GetData(pins.GetHead()));
}

CKsAudCapPin *CQZAudioFilter::GetFirstCapturePin() {
  const TList<CKsPin> &pins = GetCapturePins();
  return pins.IsEmpty() ? nullptr : static_cast<CKsAudCapPin *>(TList<CKsPin>::GetData(pins.GetHead()));
}

CKsAudPin *CQZAudioFilter::CreateRenderPin(const WAVEFORMATEX *pwfx) {
  return CKsAudFilter::CreateRenderPin(pwfx, kStandardStreaming);
}

CKsAudPin *CQZAudioFilter::CreateCapturePin(const WAVEFORMATEX *pwfx) {
  return CKsAudFilter::CreateCapturePin(pwfx, kStandardStreaming);
}

ULONG CQZAudioFilter::GetCaptureChannelCount() { return OpenChannels(GetFirstCapturePin()); }
ULONG CQZAudioFilter::GetRenderChannelCount() { return OpenChannels(GetFirstRenderPin()); }

ULONG CQZAudioFilter::GetFramesPerPacket() {
  CKsAudRenPin *pin = GetFirstRenderPin();
  if (!IsOpen(pin) || pin->GetCurrentFormat() == nullptr || pin->GetCurrentFormat()->nBlockAlign == 0) return 0;
  KSALLOCATOR_FRAMING framing = {};
  if (FAILED(pin->GetPropertySimple(directks::kPropSetConnection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, &framing,
                                    sizeof framing))) {
    return 0;
  }
  return framing.FrameSize / pin->GetCurrentFormat()->nBlockAlign;
}

HRESULT CQZAudioFilter::SetPinsState(KSSTATE state) {
  if (CKsAudCapPin *capture = GetFirstCapturePin()) {
    HRESULT hr = capture->SetState(state);
    if (FAILED(hr)) return hr;
  }
  CKsAudRenPin *render = GetFirstRenderPin();
  return render != nullptr ? render->SetState(state) : E_FAIL;
}

HRESULT CQZAudioFilter::CancelPinIo() {
  HRESULT result = S_OK;
  for (CKsPin *pin : {static_cast<CKsPin *>(GetFirstCapturePin()), static_cast<CKsPin *>(GetFirstRenderPin())}) {
    if (!IsOpen(pin)) continue;
    HRESULT hr = pin->CancelPendingIo();
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

bool CQZAudioFilter::PinsAreOpen() {
  CKsAudCapPin *capture = GetFirstCapturePin();
  if (capture != nullptr && !IsOpen(capture)) return false;
  return IsOpen(GetFirstRenderPin());
}

void CQZAudioFilter::ClosePins() {
  if (CKsAudCapPin *capture = GetFirstCapturePin()) capture->ClosePin();
  if (CKsAudRenPin *render = GetFirstRenderPin()) render->ClosePin();
}

ULONG CQZAudioFilter::ResolveRate(ULONG rate) {
  if (rate != 0) return rate;
  rate = GetActiveSampleRate();
  if (rate == 0) rate = GetDeviceSampleRate();
  return rate != 0 ? rate : kFallbackRate;
}

bool CQZAudioFilter::OpenPins(ULONG rate) {
  CKsAudRenPin *render = GetFirstRenderPin();
  if (render == nullptr || PinsAreOpen()) return false;
  // A half-open pair (one pin left open by a failed earlier attempt) starts over.
  ClosePins();
  rate = ResolveRate(rate);
  const WAVEFORMATEXTENSIBLE renderFormat = MakeAsioPinFormat(GetPinMaxChannels(render), rate);
  if (CreateRenderPin(&renderFormat.Format) == nullptr) {
    KsTrace(1, "CQZAudioFilter::OpenPins() Error: Could not create connection with specified sample rate");
    return false;
  }
  CKsAudCapPin *capture = GetFirstCapturePin();
  if (capture == nullptr) return true;
  const WAVEFORMATEXTENSIBLE captureFormat = MakeAsioPinFormat(GetPinMaxChannels(capture), rate);
  if (CreateCapturePin(&captureFormat.Format) == nullptr) {
    KsTrace(1, "CQZAudioFilter::OpenPins() Error: CreateCapturePin() failed");
    ClosePins();
    return false;
  }
  return true;
}
