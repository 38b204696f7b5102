// The host's ASIO buffers: two halves per channel of every direction, made by
// createBuffers and freed by disposeBuffers.
#include <cstring>
#include <new>

#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

// A host record must name a channel of its direction.
bool NamesChannel(const ASIOBufferInfo &info, size_t inputs, size_t outputs) {
  const size_t count = info.isInput ? inputs : outputs;
  return info.channelNum >= 0 && static_cast<size_t>(info.channelNum) < count;
}

bool AllocateChannels(std::vector<qavasio::ChannelBuffers> &list, size_t channels, bool input, size_t samples) {
  list.resize(channels);
  for (size_t c = 0; c < channels; ++c) {
    qavasio::ChannelBuffers &buffers = list[c];
    buffers.info = {};
    buffers.info.isInput = input ? ASIOTrue : ASIOFalse;
    buffers.info.channelNum = static_cast<LONG>(c);
    for (int half = 0; half < 2; ++half) {
      buffers.halves[half].reset(new (std::nothrow) int32_t[samples]);
      if (buffers.halves[half] == nullptr) return false;
      buffers.info.buffers[half] = buffers.halves[half].get();
    }
  }
  return true;
}

}  // namespace

ASIOError QZUsb2Asio::createBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize,
                                   ASIOCallbacks *callbacks) {
  const ASIOError result = CreateBuffers(bufferInfos, numChannels, bufferSize, callbacks);
  if (result == ASE_OK) {
    CAsioTraceLog::Trace(TraceId::AsioBuffersCreated, static_cast<ULONGLONG>(numChannels),
                         static_cast<ULONGLONG>(bufferSize));
  } else {
    CAsioTraceLog::Trace(TraceId::AsioBuffersRefused, static_cast<ULONGLONG>(static_cast<LONGLONG>(numChannels)),
                         static_cast<ULONGLONG>(static_cast<LONGLONG>(bufferSize)),
                         static_cast<ULONGLONG>(static_cast<LONGLONG>(result)));
  }
  return result;
}

ASIOError QZUsb2Asio::CreateBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize,
                                   ASIOCallbacks *callbacks) {
  const size_t inputs = m_inputChannels.size();
  const size_t outputs = m_outputChannels.size();
  if (numChannels < 0 || static_cast<size_t>(numChannels) > inputs + outputs) return ASE_InvalidMode;
  if (!m_inputBuffers.empty() || !m_outputBuffers.empty()) return ASE_InvalidParameter;
  // Buffers cannot change under a running stream, nor have no samples.
  if (m_thread != nullptr || bufferSize <= 0) return ASE_InvalidMode;
  if (numChannels > 0 && bufferInfos == nullptr) return ASE_InvalidParameter;
  for (LONG i = 0; i < numChannels; ++i) {
    if (!NamesChannel(bufferInfos[i], inputs, outputs)) return ASE_InvalidParameter;
  }
  if (!OpenAllPins(0)) return ASE_NotPresent;

  const size_t samples = static_cast<size_t>(bufferSize);
  if (!AllocateChannels(m_inputBuffers, inputs, true, samples) ||
      !AllocateChannels(m_outputBuffers, outputs, false, samples)) {
    m_inputBuffers.clear();
    m_outputBuffers.clear();
    return ASE_NoMemory;
  }
  m_bufferSize = bufferSize;
  for (LONG i = 0; i < numChannels; ++i) {
    ASIOBufferInfo &host = bufferInfos[i];
    const size_t channel = static_cast<size_t>(host.channelNum);
    const qavasio::ChannelBuffers &own = host.isInput ? m_inputBuffers[channel] : m_outputBuffers[channel];
    host.buffers[0] = own.info.buffers[0];
    host.buffers[1] = own.info.buffers[1];
    (host.isInput ? m_inputChannels : m_outputChannels)[channel].isActive = ASIOTrue;
  }

  m_callbacks = callbacks;
  m_timeInfoMode = HostMessage(kAsioSupportsTimeInfo) != 0;
  if (m_timeInfoMode) {
    CKsAudPin *render = m_devices[0]->GetFirstRenderPin();
    const WAVEFORMATEX *format = render != nullptr ? render->GetCurrentFormat() : nullptr;
    qavasio::CTimeLockHolder lock(m_timeLock);
    std::memset(&m_time, 0, sizeof m_time);
    m_time.timeInfo.speed = 1.0;
    m_time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    m_time.timeInfo.sampleRate = format != nullptr ? format->nSamplesPerSec : 0;
  }
  return ASE_OK;
}

ASIOError QZUsb2Asio::disposeBuffers() {
  // The stream reads the buffers: they outlive it.
  StopThread();
  m_inputBuffers.clear();
  m_outputBuffers.clear();
  m_bufferSize = 0;
  m_callbacks = nullptr;
  m_timeInfoMode = false;
  return ASE_OK;
}
