#include "uac2common/directks/audpin.h"

#include <new>

#include "uac2common/directks/audfilter.h"
#include "uac2common/directks/kstrace.h"
#include "uac2common/directks/util.h"

using directks::GuidEquals;
using directks::kFormatTypeAudio;
using directks::kGuidNull;
using directks::kInterfaceSetStandard;
using directks::kMediumSetStandard;
using directks::kPropSetAudio;
using directks::kSpecifierWaveFormatEx;
using directks::kSubtypePcm;

CKsAudPin::CKsAudPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr)
    : CKsPin(filter, pinId, phr), m_pAudFilter(filter) {
  KsTraceCall call("CKsAudPin::CKsAudPin");
  HRESULT hr = phr != nullptr ? *phr : S_OK;
  if (SUCCEEDED(hr)) hr = BuildPinConnect();
  if (SUCCEEDED(hr)) hr = Init();
  if (phr != nullptr) *phr = hr;
}

CKsAudPin::~CKsAudPin() {
  KsTraceCall call("CKsAudPin::~CKsAudPin");
  while (KSDATARANGE_AUDIO *range = m_lstDataRanges.RemoveHead()) delete range;
  while (CKsNode *node = m_lstAudNodes.RemoveHead()) delete node;
  delete[] reinterpret_cast<PUCHAR>(m_pwfxCurrent);
  m_pwfxCurrent = nullptr;
}

// Standard streaming of a 16-bit PCM wave format, sent to no other pin.
HRESULT CKsAudPin::BuildPinConnect() {
  auto *request = new (std::nothrow) UCHAR[directks::kAudioPinConnectSize]();
  if (request == nullptr) {
    KsTrace(1, "Failed to allocate m_pksPinCreate");
    return E_OUTOFMEMORY;
  }
  KSPIN_CONNECT connect = {};
  connect.Interface.Set = kInterfaceSetStandard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Interface.Flags = 0;
  connect.Medium.Set = kMediumSetStandard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.Medium.Flags = 0;
  connect.PinId = m_ulPinId;
  connect.PinToHandle = nullptr;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  KSDATAFORMAT format = {};
  format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
  format.MajorFormat = kFormatTypeAudio;
  format.SubFormat = kSubtypePcm;
  format.Specifier = kSpecifierWaveFormatEx;
  std::memcpy(request, &connect, sizeof connect);
  std::memcpy(request + sizeof connect, &format, sizeof format);
  FreePinConnect();
  m_pksPinCreate = reinterpret_cast<PKSPIN_CONNECT>(request);
  m_cbPinCreate = directks::kAudioPinConnectSize;
  return S_OK;
}

PKSDATAFORMAT_WAVEFORMATEX CKsAudPin::GetDataFormat() const {
  if (m_pksPinCreate == nullptr) return nullptr;
  return reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(m_pksPinCreate + 1);
}

bool CKsAudPin::HasStandardInterface() const {
  for (ULONG i = 0; i < m_Descriptor.InterfacesCount; ++i) {
    const KSPIN_INTERFACE &item = m_Descriptor.Interfaces[i];
    if (GuidEquals(item.Set, kInterfaceSetStandard) && item.Id == KSINTERFACE_STANDARD_STREAMING) return true;
  }
  return false;
}

bool CKsAudPin::HasStandardMedium() const {
  for (ULONG i = 0; i < m_Descriptor.MediumsCount; ++i) {
    const KSPIN_MEDIUM &item = m_Descriptor.Mediums[i];
    if (GuidEquals(item.Set, kMediumSetStandard) && item.Id == KSMEDIUM_TYPE_ANYINSTANCE) return true;
  }
  return false;
}

namespace {

// The sub-formats an audio range may have: a wave-tag GUID (PCM among them)
// or the wildcard.
bool IsAudioSubFormat(const GUID &subFormat) {
  return directks::IsWaveTagSubtype(subFormat) || GuidEquals(subFormat, kSubtypePcm) ||
         GuidEquals(subFormat, kGuidNull);
}

}  // namespace

// Copies the 88-byte audio ranges, from the first range with an audio
// sub-format on. A record or node that cannot be allocated makes the result
// E_OUTOFMEMORY; the walk goes on.
HRESULT CKsAudPin::KeepAudioRanges(bool *sawAudio) {
  HRESULT hr = S_OK;
  *sawAudio = false;
  directks::WalkDataRanges(m_Descriptor.DataRangesItem, [&](const KSDATARANGE *range) {
    if (!*sawAudio && !IsAudioSubFormat(range->SubFormat)) return true;
    *sawAudio = true;
    if (range->FormatSize != sizeof(KSDATARANGE_AUDIO) || !GuidEquals(range->MajorFormat, kFormatTypeAudio)) {
      return true;
    }
    auto *copy = new (std::nothrow) KSDATARANGE_AUDIO;
    if (copy == nullptr) {
      KsTrace(1, "Unable to allocate memory to save datarange in");
      hr = E_OUTOFMEMORY;
      return true;
    }
    std::memcpy(copy, range, sizeof *copy);
    if (m_lstDataRanges.AddTail(copy) == nullptr) {
      KsTrace(1, "Unable to allocate list entry to save datarange in");
      delete copy;
      hr = E_OUTOFMEMORY;
    }
    return true;
  });
  return hr;
}

HRESULT CKsAudPin::Init() {
  KsTraceCall call("CKsAudPin::Init");
  if (!HasStandardInterface()) {
    KsTrace(1, "No standard streaming interfaces on the pin");
    return call.Return(E_FAIL);
  }
  if (!HasStandardMedium()) {
    KsTrace(1, "No standard streaming mediums on the pin");
    return call.Return(E_FAIL);
  }
  while (KSDATARANGE_AUDIO *range = m_lstDataRanges.RemoveHead()) delete range;
  bool sawAudio = false;
  HRESULT hr = KeepAudioRanges(&sawAudio);
  if (!sawAudio) {
    KsTrace(1, "No audio dataranges on the pin");
    return call.Return(E_FAIL);
  }
  return call.Return(hr);
}

namespace {

// The format's sub-format GUID; false for an extensible format too short to hold one.
bool FormatSubType(const WAVEFORMATEX *pwfx, GUID *subFormat) {
  if (pwfx->wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
    *subFormat = directks::WaveTagSubtype(pwfx->wFormatTag);
    return true;
  }
  if (pwfx->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
  std::memcpy(subFormat, &reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(pwfx)->SubFormat, sizeof(GUID));
  return true;
}

bool RangeTakes(const KSDATARANGE_AUDIO &range, const WAVEFORMATEX &wfx, const GUID &subFormat) {
  const KSDATARANGE &data = range.DataRange;
  if (!GuidEquals(data.MajorFormat, kGuidNull) && !GuidEquals(data.MajorFormat, kFormatTypeAudio)) return false;
  if (!GuidEquals(data.SubFormat, kGuidNull) && !GuidEquals(data.SubFormat, subFormat)) return false;
  if (!GuidEquals(data.Specifier, kGuidNull) && !GuidEquals(data.Specifier, kSpecifierWaveFormatEx)) return false;
  return range.MaximumChannels >= wfx.nChannels && range.MinimumBitsPerSample <= wfx.wBitsPerSample &&
         wfx.wBitsPerSample <= range.MaximumBitsPerSample && range.MinimumSampleFrequency <= wfx.nSamplesPerSec &&
         wfx.nSamplesPerSec <= range.MaximumSampleFrequency;
}

}  // namespace

bool CKsAudPin::IsFormatSupported(const WAVEFORMATEX *pwfx) const {
  KsTraceCall call("CKsAudPin::IsFormatSupported");
  GUID subFormat;
  if (pwfx == nullptr || !FormatSubType(pwfx, &subFormat)) return false;
  for (TListNode<KSDATARANGE_AUDIO> *node = m_lstDataRanges.GetHead(); node != nullptr;
       node = TList<KSDATARANGE_AUDIO>::GetNext(node)) {
    if (RangeTakes(*TList<KSDATARANGE_AUDIO>::GetData(node), *pwfx, subFormat)) return true;
  }
  return false;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX *pwfx) {
  KsTraceCall call("CKsAudPin::SetFormat");
  if (pwfx == nullptr || m_pksPinCreate == nullptr) {
    KsTrace(1, "pwfx or m_pksDataFormatWfx are NULL");
    return call.Return(E_FAIL);
  }
  const ULONG waveSize = GetWaveFormatSize(pwfx);
  const ULONG needed = static_cast<ULONG>(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) + waveSize;
  if (m_cbPinCreate != needed) {
    auto *request = new (std::nothrow) UCHAR[needed]();
    if (request == nullptr) {
      KsTrace(1, "Unable to allocate KSPIN_CONNECT structure");
      return call.Return(E_OUTOFMEMORY);
    }
    std::memcpy(request, m_pksPinCreate, m_cbPinCreate < needed ? m_cbPinCreate : needed);
    FreePinConnect();
    m_pksPinCreate = reinterpret_cast<PKSPIN_CONNECT>(request);
    m_cbPinCreate = needed;
  }
  PKSDATAFORMAT_WAVEFORMATEX format = GetDataFormat();
  format->DataFormat.FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT)) + waveSize;
  // The format may be larger than a WAVEFORMATEX: the request was sized for it.
  std::memcpy(reinterpret_cast<PUCHAR>(m_pksPinCreate) + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), pwfx, waveSize);
  const ULONG sampleBits = static_cast<ULONG>(pwfx->nChannels) * pwfx->wBitsPerSample;
  format->DataFormat.SampleSize = static_cast<USHORT>(sampleBits / 8);
  delete[] reinterpret_cast<PUCHAR>(m_pwfxCurrent);
  auto *copy = new (std::nothrow) UCHAR[waveSize];
  if (copy != nullptr) std::memcpy(copy, pwfx, waveSize);
  m_pwfxCurrent = reinterpret_cast<WAVEFORMATEX *>(copy);
  return call.Return(S_OK);
}

HRESULT CKsAudPin::GetPosition(PKSAUDIO_POSITION position) {
  KsTraceCall call("CKsAudPin::GetPosition");
  if (position == nullptr) return call.Return(E_INVALIDARG);
  HRESULT hr = GetPropertySimple(kPropSetAudio, KSPROPERTY_AUDIO_POSITION, position, sizeof(KSAUDIO_POSITION));
  if (FAILED(hr)) KsTrace(1, "Failed to retrieve audio stream position - %#08x", static_cast<unsigned>(hr));
  return call.Return(hr);
}

HRESULT CKsAudPin::SetPosition(PKSAUDIO_POSITION position) {
  KsTraceCall call("CKsAudPin::SetPosition");
  if (position == nullptr) return call.Return(E_INVALIDARG);
  HRESULT hr = SetPropertySimple(kPropSetAudio, KSPROPERTY_AUDIO_POSITION, position, sizeof(KSAUDIO_POSITION));
  if (FAILED(hr)) KsTrace(1, "Failed to set audio stream position - %#08x", static_cast<unsigned>(hr));
  return call.Return(hr);
}

CKsNode *CKsAudPin::GetNode(ULONG nodeId) const {
  for (TListNode<CKsNode> *node = m_lstAudNodes.GetHead(); node != nullptr; node = TList<CKsNode>::GetNext(node)) {
    CKsNode *item = TList<CKsNode>::GetData(node);
    if (item->GetId() == nodeId) return item;
  }
  return nullptr;
}

CKsAudRenPin::CKsAudRenPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr) : CKsAudPin(filter, pinId, phr) {
  m_PinType = KsPinTypeRender;
}

CKsAudCapPin::CKsAudCapPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr) : CKsAudPin(filter, pinId, phr) {
  m_PinType = KsPinTypeCapture;
}
