// Sample rates, clock sources and the sample position.
#include <cstring>

#include "uac2common/asiodriver/asio_module_state.h"
#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

constexpr uint32_t kFallbackRate = 44100;

// A host's rate as the whole number of Hz the lists hold (truncated); -1
// for what no list can hold.
int64_t WholeRate(ASIOSampleRate rate) {
  if (!(rate >= 0.0 && rate < 4294967296.0)) return -1;
  return static_cast<int64_t>(rate);
}

}  // namespace

uint32_t QZUsb2Asio::CurrentRate() {
  if (m_devices.empty()) return 0;
  CQZAudioFilter *first = m_devices[0];
  uint32_t rate = 0;
  CKsAudPin *render = first->GetFirstRenderPin();
  if (render != nullptr && render->GetCurrentFormat() != nullptr) rate = render->GetCurrentFormat()->nSamplesPerSec;
  if (rate == 0) rate = qavasio::PendingRate();
  if (rate == 0) rate = first->GetActiveSampleRate();
  if (rate == 0) rate = first->GetDeviceSampleRate();
  if (rate == 0) rate = kFallbackRate;
  return rate;
}

ASIOError QZUsb2Asio::canSampleRate(ASIOSampleRate sampleRate) {
  const int64_t rate = WholeRate(sampleRate);
  for (int64_t supported : m_rates) {
    if (supported == rate) return ASE_OK;
  }
  return ASE_NoClock;
}

ASIOError QZUsb2Asio::getSampleRate(ASIOSampleRate *sampleRate) {
  if (sampleRate == nullptr) return ASE_InvalidParameter;
  if (m_devices.empty()) {
    *sampleRate = 0;
    return ASE_NotPresent;
  }
  *sampleRate = CurrentRate();
  return ASE_OK;
}

ASIOError QZUsb2Asio::setSampleRate(ASIOSampleRate sampleRate) {
  if (!m_devices.empty() && sampleRate == static_cast<ASIOSampleRate>(CurrentRate())) return ASE_OK;
  if (canSampleRate(sampleRate) != ASE_OK) return ASE_NoClock;
  if (m_devices.empty()) return ASE_NotPresent;
  const uint32_t requested = static_cast<uint32_t>(WholeRate(sampleRate));
  if (!m_devices[0]->PinsAreOpen()) return OpenAllPins(requested) ? ASE_OK : ASE_InvalidMode;

  // The pins are reopened with the streaming thread stopped, never under it;
  // a running stream then starts over at the new rate. One that already
  // ended (the driver gave up on a stalled device and asked the host for a
  // reset, or the host stopped it from its own callback) stays ended: the
  // host starts it again when it is ready.
  const bool streaming = StopThread();
  CloseAllPins();
  const bool opened = OpenAllPins(requested);
  if (streaming && opened) StartThread();
  const uint32_t running = CurrentRate();
  ASIOError result = opened && running == requested ? ASE_OK : ASE_InvalidMode;
  CAsioTraceLog::Trace(TraceId::AsioRateChanged, requested, static_cast<ULONGLONG>(static_cast<LONGLONG>(result)),
                       running);
  if (m_callbacks != nullptr && m_callbacks->sampleRateDidChange != nullptr) {
    m_callbacks->sampleRateDidChange(static_cast<ASIOSampleRate>(requested));
  }
  return result;
}

ASIOError QZUsb2Asio::getClockSources(ASIOClockSource *clocks, LONG *numSources) {
  // The host's count bounds what is written; a list nobody can hold is refused
  // before anything is touched.
  if (clocks == nullptr || numSources == nullptr || *numSources <= 0) return ASE_InvalidParameter;
  const size_t room = static_cast<size_t>(*numSources);
  const size_t copies = room < m_clocks.size() ? room : m_clocks.size();
  for (size_t i = 0; i < copies; ++i) clocks[i] = m_clocks[i];
  *numSources = static_cast<LONG>(m_clocks.size());
  return ASE_OK;
}

ASIOError QZUsb2Asio::setClockSource(LONG reference) {
  if (reference < 0 || static_cast<size_t>(reference) >= m_clocks.size()) return ASE_NotPresent;
  if (m_clocks.size() == 1) return ASE_OK;
  if (m_devices.size() != 1) return ASE_HWMalfunction;
  if (FAILED(m_devices[0]->SetClockSource(static_cast<ULONG>(reference)))) return ASE_HWMalfunction;
  for (size_t i = 0; i < m_clocks.size(); ++i) {
    m_clocks[i].isCurrentSource = i == static_cast<size_t>(reference) ? ASIOTrue : ASIOFalse;
  }
  qavasio::CTimeLockHolder lock(m_timeLock);
  m_time.timeInfo.flags |= kClockSourceChanged;
  return ASE_OK;
}

ASIOError QZUsb2Asio::getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) {
  qavasio::CTimeLockHolder lock(m_timeLock);
  if (sPos != nullptr) *sPos = m_time.timeInfo.samplePosition;
  if (tStamp != nullptr) *tStamp = m_time.timeInfo.systemTime;
  return ASE_OK;
}
