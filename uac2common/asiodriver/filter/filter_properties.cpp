// The private properties and the URB-size notification of CQZAudioFilter,
// all on the filter handle.
#include <cstring>

#include "uac2common/asiodriver/filter/qzaudiofilter.h"

namespace {

static_assert(sizeof(ClockSourceInfo) == 76, "clock source record");
static_assert(sizeof(KSEVENT) == 24, "event request");

}  // namespace

HRESULT CQZAudioFilter::GetU32(ULONG id, PULONG value) {
  *value = 0;
  HRESULT hr = GetPropertySimple(KSPROPSETID_UacPrivate, id, value, sizeof(ULONG));
  if (FAILED(hr)) *value = 0;
  return hr;
}

HRESULT CQZAudioFilter::SetU32(ULONG id, ULONG value) {
  return SetPropertySimple(KSPROPSETID_UacPrivate, id, &value, sizeof value);
}

ULONG CQZAudioFilter::ReadU32OrZero(ULONG id) {
  ULONG value = 0;
  GetU32(id, &value);
  return value;
}

ULONG CQZAudioFilter::GetActiveSampleRate() { return ReadU32OrZero(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE); }
ULONG CQZAudioFilter::GetDeviceSampleRate() { return ReadU32OrZero(KSPROPERTY_UAC_SAMPLE_RATE); }
ULONG CQZAudioFilter::GetClockSource() { return ReadU32OrZero(KSPROPERTY_UAC_CLOCK_SOURCE); }
ULONG CQZAudioFilter::GetUrbSize() { return ReadU32OrZero(KSPROPERTY_UAC_URB_SIZE); }

HRESULT CQZAudioFilter::SetClockSource(ULONG index) { return SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, index); }
HRESULT CQZAudioFilter::SetUrbSize(ULONG value) { return SetU32(KSPROPERTY_UAC_URB_SIZE, value); }

// Built here rather than through GetPropertySimple: the count comes from the
// bytes the driver returned, never from the caller's capacity.
HRESULT CQZAudioFilter::GetSampleRates(PULONG rates, ULONG count, PULONG written) {
  if (written != nullptr) *written = 0;
  if (rates == nullptr || count == 0) return E_INVALIDARG;
  if (count > 0xFFFFFFFFu / sizeof(ULONG)) return E_INVALIDARG;
  std::memset(rates, 0, count * sizeof(ULONG));
  KSPROPERTY property = {};
  property.Set = KSPROPSETID_UacPrivate;
  property.Id = KSPROPERTY_UAC_SAMPLE_RATES;
  property.Flags = KSPROPERTY_TYPE_GET;
  ULONG bytes = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, rates,
                         static_cast<ULONG>(count * sizeof(ULONG)), &bytes);
  if (FAILED(hr)) {
    std::memset(rates, 0, count * sizeof(ULONG));
    return hr;
  }
  ULONG got = bytes / sizeof(ULONG);
  if (got > count) got = count;
  if (written != nullptr) *written = got;
  return S_OK;
}

HRESULT CQZAudioFilter::GetClockSourceInfo(ULONG index, ClockSourceInfo *info) {
  if (info == nullptr) return E_POINTER;
  std::memset(info, 0, sizeof *info);
  KSP_UAC_INDEX request = {};
  request.Property.Set = KSPROPSETID_UacPrivate;
  request.Property.Id = KSPROPERTY_UAC_CLOCK_SOURCE_INFO;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.Index = index;
  ULONG bytes = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof request, info, sizeof *info, &bytes);
  if (SUCCEEDED(hr) && bytes != sizeof *info) hr = E_FAIL;
  if (FAILED(hr)) {
    std::memset(info, 0, sizeof *info);
    return hr;
  }
  // Readers take Name as a terminated string.
  info->Name[UAC_CLOCK_NAME_CHARS - 1] = 0;
  return S_OK;
}

HRESULT CQZAudioFilter::EnableNotification(HANDLE event) {
  if (!IsValidHandle(event)) return E_INVALIDARG;
  KSEVENT request = {};
  request.Set = KSEVENTSETID_UacPrivate;
  request.Id = KSEVENT_UAC_URB_SIZE_CHANGED;
  request.Flags = KSEVENT_TYPE_ENABLEBUFFERED;
  KSEVENTDATA data = {};
  data.NotificationType = KSEVENTF_EVENT_HANDLE;
  data.EventHandle.Event = event;
  return SyncIoctl(m_handle, IOCTL_KS_ENABLE_EVENT, &request, sizeof request, &data, sizeof data);
}

// With no input, kernel streaming disables every event enabled through this
// file object.
HRESULT CQZAudioFilter::DisableNotifications() {
  return SyncIoctl(m_handle, IOCTL_KS_DISABLE_EVENT, nullptr, 0, nullptr, 0);
}
