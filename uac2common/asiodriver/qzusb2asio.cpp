// QZUsb2Asio's life, identity and the queries that only read what init set
// up.
#include "uac2common/asiodriver/qzusb2asio.h"

#include <cstring>
#include <new>

#include "uac2common/asiodriver/asio_module_state.h"
#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/asiodriver/filter/qzaudiofilter_list.h"

QZUsb2Asio::QZUsb2Asio(LPUNKNOWN outer, HRESULT *phr)
    : CUnknown(QZUSB2ASIO_CLSID_TEXT, outer), m_filters(new (std::nothrow) CQZAudioFilterList()) {
  if (m_filters == nullptr && phr != nullptr) *phr = E_OUTOFMEMORY;
}

QZUsb2Asio::~QZUsb2Asio() {
  stop();
  StopThread();
  disposeBuffers();
  CloseAllPins();
  m_inputChannels.clear();
  m_outputChannels.clear();
  m_devices.clear();
  m_deviceChannels.clear();
  m_filters.reset();
}

CUnknown *QZUsb2Asio::CreateInstance(LPUNKNOWN outer, HRESULT *phr) {
  return new (std::nothrow) QZUsb2Asio(outer, phr);
}

HRESULT QZUsb2Asio::QueryInterface(REFIID riid, void **ppv) { return GetOwner()->QueryInterface(riid, ppv); }
ULONG QZUsb2Asio::AddRef() { return GetOwner()->AddRef(); }
ULONG QZUsb2Asio::Release() { return GetOwner()->Release(); }

HRESULT QZUsb2Asio::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (ppv != nullptr && IsEqualGUID(riid, CLSID_QZUsb2Asio)) {
    IASIO *asio = this;
    *ppv = asio;
    asio->AddRef();
    return S_OK;
  }
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ASIOBool QZUsb2Asio::init(void *sysHandle) {
  m_window = static_cast<HWND>(sysHandle);
  // The devices are fixed by the first init.
  if (!m_devices.empty()) return ASIOTrue;
  if (m_filters == nullptr) return ASIOFalse;
  m_filters->EnumerateDevices();
  size_t count = m_filters->GetFilterCount();
  if (count == 0) {
    CAsioTraceLog::Trace(TraceId::AsioInitFailed, 0);
    return ASIOFalse;
  }
  if (count > qavasio::kMaxDevices) count = qavasio::kMaxDevices;
  for (size_t i = 0; i < count; ++i) {
    if (!SetUpDevice(m_filters->GetFilter(i), count > 1)) {
      // Nothing half set up stays behind for a later init to add to.
      m_devices.clear();
      m_deviceChannels.clear();
      m_inputChannels.clear();
      m_outputChannels.clear();
      CAsioTraceLog::Trace(TraceId::AsioInitFailed, count);
      return ASIOFalse;
    }
  }
  CollectRates();
  CollectClockSources();
  CAsioTraceLog::Trace(TraceId::AsioInitialised, m_devices.size(), m_inputChannels.size(), m_outputChannels.size());
  return ASIOTrue;
}

void QZUsb2Asio::getDriverName(char *name) {
  if (name == nullptr) return;
  static_assert(sizeof kAsioDriverName <= 32, "driver name fits the host's 32 bytes");
  std::memcpy(name, kAsioDriverName, sizeof kAsioDriverName);
}

LONG QZUsb2Asio::getDriverVersion() { return 1; }

void QZUsb2Asio::getErrorMessage(char *string) {
  if (string == nullptr) return;
  std::strncpy(string, m_errorText, 123);
  string[123] = '\0';
}

ASIOError QZUsb2Asio::getChannels(LONG *numInputChannels, LONG *numOutputChannels) {
  if (m_devices.empty()) return ASE_NotPresent;
  if (numInputChannels != nullptr) *numInputChannels = static_cast<LONG>(m_inputChannels.size());
  if (numOutputChannels != nullptr) *numOutputChannels = static_cast<LONG>(m_outputChannels.size());
  return ASE_OK;
}

ASIOError QZUsb2Asio::getChannelInfo(ASIOChannelInfo *info) {
  if (info == nullptr) return ASE_InvalidParameter;
  const std::vector<ASIOChannelInfo> &list = info->isInput ? m_inputChannels : m_outputChannels;
  if (info->channel < 0 || static_cast<size_t>(info->channel) >= list.size()) return ASE_InvalidParameter;
  *info = list[static_cast<size_t>(info->channel)];
  return ASE_OK;
}

ASIOError QZUsb2Asio::future(LONG selector, void *opt) {
  (void)opt;
  return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}

ASIOError QZUsb2Asio::outputReady() { return ASE_OK; }

LONG QZUsb2Asio::HostMessage(LONG selector) {
  if (m_callbacks == nullptr || m_callbacks->asioMessage == nullptr) return 0;
  const LONG answer = m_callbacks->asioMessage(selector, 0, nullptr, nullptr);
  CAsioTraceLog::Trace(TraceId::AsioHostMessage, static_cast<ULONGLONG>(static_cast<LONGLONG>(selector)),
                       static_cast<ULONGLONG>(static_cast<LONGLONG>(answer)));
  return answer;
}

QZUsb2Asio *QZUsb2Asio::CurrentObject() { return qavasio::CurrentObject(); }
