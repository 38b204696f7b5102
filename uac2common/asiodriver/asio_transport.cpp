// start and stop: the streaming thread's life.
#include <cstring>

#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

constexpr uint32_t kNoDeviceUrbSize = 10;

}  // namespace

ASIOError QZUsb2Asio::start() {
  // Every device runs with the first one's USB performance mode.
  const uint32_t urbSize = m_devices.empty() ? kNoDeviceUrbSize : m_devices[0]->GetUrbSize();
  if (urbSize != 0) {
    for (CQZAudioFilter *device : m_devices) device->SetUrbSize(urbSize);
  }
  if (m_inputBuffers.empty() && m_outputBuffers.empty()) {
    CAsioTraceLog::Trace(TraceId::AsioStart, static_cast<ULONGLONG>(static_cast<LONGLONG>(ASE_InvalidMode)));
    return ASE_InvalidMode;
  }
  // A thread that ended on its own (a stalled device) is gone for good.
  if (m_thread != nullptr && WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0) StopThread();
  if (m_thread != nullptr) return ASE_OK;
  ClearBuffers(false);
  {
    qavasio::CTimeLockHolder lock(m_timeLock);
    m_time.timeInfo.samplePosition = {};
    m_time.timeInfo.systemTime = {};
    m_time.timeCode.timeCodeSamples = {};
  }
  const ASIOError result = StartThread() ? ASE_OK : ASE_HWMalfunction;
  CAsioTraceLog::Trace(TraceId::AsioStart, static_cast<ULONGLONG>(static_cast<LONGLONG>(result)));
  return result;
}

ASIOError QZUsb2Asio::stop() {
  if (m_thread != nullptr) CAsioTraceLog::Trace(TraceId::AsioStop);
  StopThread();
  return ASE_OK;
}

void QZUsb2Asio::ClearBuffers(bool inputsOnly) {
  const size_t bytes = static_cast<size_t>(m_bufferSize) * sizeof(int32_t);
  for (auto *list : {&m_inputBuffers, &m_outputBuffers}) {
    if (inputsOnly && list == &m_outputBuffers) break;
    for (qavasio::ChannelBuffers &channel : *list) {
      std::memset(channel.halves[0].get(), 0, bytes);
      std::memset(channel.halves[1].get(), 0, bytes);
    }
  }
}

bool QZUsb2Asio::StartThread() {
  if (m_thread != nullptr) return true;
  m_stop = false;
  HANDLE thread = CreateThread(nullptr, 0, StreamThreadProc, this, CREATE_SUSPENDED, &m_threadId);
  if (thread == nullptr) {
    m_stop = true;
    return false;
  }
  m_thread = thread;
  ResumeThread(thread);
  return true;
}

// The thread is asked to end and waited for, never killed: a thread killed
// mid-pass would leave the pins running and its requests pending on freed
// buffers. Every wait of a pass is bounded (a request set by 2000 ms), so
// the thread sees the flag within that time plus one host callback.
// The flag is taken with an exchange, as the thread takes it when it ends
// streaming itself, so exactly one of them ends a given stream.
bool QZUsb2Asio::StopThread() {
  if (m_thread == nullptr) return false;
  const bool wasStreaming = !m_stop.exchange(true);
  // The host may call stop from its own bufferSwitch: the thread ends after
  // that call returns, and whoever stops next closes its handle.
  if (GetCurrentThreadId() == m_threadId) return wasStreaming;
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
  m_thread = nullptr;
  m_threadId = 0;
  return wasStreaming;
}
