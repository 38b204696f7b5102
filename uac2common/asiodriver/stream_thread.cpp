// The streaming thread: between start and stop it keeps N request sets of
// stream reads and writes in flight on every device's pins, moves each
// completed set's audio between the devices' transfer buffers and the host's
// buffers, and calls the host once per set. Pacing comes only from the
// completion of the requests.
#include <memory>
#include <new>

#include "uac2common/asiodriver/asio_latency.h"
#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/mm_thread_class.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

// A request set that has not completed in this time means the devices
// stopped delivering: streaming ends.
constexpr DWORD kSetTimeoutMs = 2000;
// Passes that cannot even submit (pins closed, device gone) are retried
// after this pause, and given up after kSetTimeoutMs of retrying, as a stalled
// set would be.
constexpr DWORD kRetryPauseMs = 10;
// A bound on the sets in flight whatever the allocator framing says.
constexpr uint32_t kMaxRequestSets = 64;

// Notification events of one pass, enabled on every device and disabled and
// closed again however the pass ends.
class CPassNotifications {
 public:
  explicit CPassNotifications(const std::vector<CQZAudioFilter *> &devices) : m_devices(devices) {
    for (CQZAudioFilter *device : devices) {
      HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      if (event == nullptr) continue;
      m_events.push_back(event);
      device->EnableNotification(event);
    }
  }
  ~CPassNotifications() {
    for (CQZAudioFilter *device : m_devices) device->DisableNotifications();
    for (HANDLE event : m_events) CloseHandle(event);
  }
  CPassNotifications(const CPassNotifications &) = delete;
  CPassNotifications &operator=(const CPassNotifications &) = delete;

  bool AnySignalled() const {
    if (m_events.empty()) return false;
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(m_events.size()), m_events.data(), FALSE, 0);
    return result < WAIT_OBJECT_0 + m_events.size();
  }

 private:
  const std::vector<CQZAudioFilter *> &m_devices;
  std::vector<HANDLE> m_events;
};

bool AnyOpenPin(const std::vector<qavasio::StreamDevice> &devices) {
  for (const qavasio::StreamDevice &device : devices) {
    if (device.capturePin != nullptr || device.renderPin != nullptr) return true;
  }
  return false;
}

// timeBeginPeriod(1) for the pass, balanced.
class CTimerResolution {
 public:
  CTimerResolution() { timeBeginPeriod(1); }
  ~CTimerResolution() { timeEndPeriod(1); }
  CTimerResolution(const CTimerResolution &) = delete;
  CTimerResolution &operator=(const CTimerResolution &) = delete;
};

}  // namespace

DWORD WINAPI QZUsb2Asio::StreamThreadProc(LPVOID parameter) {
  static_cast<QZUsb2Asio *>(parameter)->StreamThread();
  return 0;
}

void QZUsb2Asio::StreamThread() {
  DWORD failingFor = 0;
  uint32_t urbSize = FirstUrbSize();
  while (!m_stop) {
    const PassEnd end = StreamPass();
    if (end == PassEnd::Stopped) break;
    // A mode change from another program restarts the pass with another URB
    // size, and so another latency; a host that was not told would keep
    // compensating for the old one. A device that no longer answers (0)
    // changed no mode.
    const uint32_t now = FirstUrbSize();
    if (end == PassEnd::Restart && now != 0 && now != urbSize) HostMessage(kAsioLatenciesChanged);
    if (now != 0) urbSize = now;
    if (end == PassEnd::Failed) {
      failingFor += kRetryPauseMs;
      if (failingFor < kSetTimeoutMs) {
        Sleep(kRetryPauseMs);
        continue;
      }
    } else {
      failingFor = 0;
    }
    if (end == PassEnd::TimedOut || end == PassEnd::Failed) {
      // The devices stopped delivering: streaming ends, and the host is asked
      // to reset the driver rather than wait for buffer switches that never
      // come. A host that stopped meanwhile needs no request.
      if (!m_stop.exchange(true)) {
        CAsioTraceLog::Trace(TraceId::AsioStreamingEnded);
        HostMessage(kAsioResetRequest);
      }
      break;
    }
  }
}

std::vector<qavasio::StreamDevice> QZUsb2Asio::StreamDevices() const {
  std::vector<qavasio::StreamDevice> devices(m_devices.size());
  for (size_t i = 0; i < m_devices.size(); ++i) {
    CQZAudioFilter *filter = m_devices[i];
    qavasio::StreamDevice &device = devices[i];
    device.capturePin = filter->GetFirstCapturePin();
    device.renderPin = filter->GetFirstRenderPin();
    device.captureChannels = filter->GetCaptureChannelCount();
    device.renderChannels = filter->GetRenderChannelCount();
    if (device.captureChannels == 0) device.capturePin = nullptr;
    if (device.renderChannels == 0) device.renderPin = nullptr;
    device.firstInput = m_deviceChannels[i].firstInput;
    device.listedInputs = m_deviceChannels[i].inputs;
    device.firstOutput = m_deviceChannels[i].firstOutput;
    device.listedOutputs = m_deviceChannels[i].outputs;
  }
  return devices;
}

void QZUsb2Asio::StampTime(uint64_t position) {
  const uint64_t nanoseconds = static_cast<uint64_t>(timeGetTime()) * 1000000u;
  qavasio::CTimeLockHolder lock(m_timeLock);
  m_time.timeInfo.systemTime.hi = static_cast<ULONG>(nanoseconds >> 32);
  m_time.timeInfo.systemTime.lo = static_cast<ULONG>(nanoseconds);
  m_time.timeInfo.samplePosition.hi = static_cast<ULONG>(position >> 32);
  m_time.timeInfo.samplePosition.lo = static_cast<ULONG>(position);
}

void QZUsb2Asio::CallHost() {
  if (m_callbacks == nullptr) return;
  if (m_timeInfoMode && m_callbacks->bufferSwitchTimeInfo != nullptr) {
    m_callbacks->bufferSwitchTimeInfo(&m_time, 0, ASIOTrue);
  } else if (m_callbacks->bufferSwitch != nullptr) {
    m_callbacks->bufferSwitch(0, ASIOTrue);
  }
}

QZUsb2Asio::PassEnd QZUsb2Asio::StreamPass() {
  if (m_devices.empty() || m_bufferSize <= 0) return PassEnd::Failed;
  const uint32_t frames = static_cast<uint32_t>(m_bufferSize);
  CPassNotifications notifications(m_devices);

  // Half 0 of every channel, in channel order: the copies' channel tables.
  std::vector<int32_t *> inputHalves;
  std::vector<int32_t *> outputHalves;
  for (qavasio::ChannelBuffers &channel : m_inputBuffers) inputHalves.push_back(channel.halves[0].get());
  for (qavasio::ChannelBuffers &channel : m_outputBuffers) outputHalves.push_back(channel.halves[0].get());
  const uint32_t inputCount = static_cast<uint32_t>(inputHalves.size());
  const uint32_t outputCount = static_cast<uint32_t>(outputHalves.size());

  uint32_t setCount = qavasio::RequestSetCount(m_devices[0]->GetFramesPerPacket(), frames);
  if (setCount > kMaxRequestSets) setCount = kMaxRequestSets;
  const std::vector<qavasio::StreamDevice> devices = StreamDevices();
  // Only the pins' requests pace the loop. With every pin closed (a reopening
  // at another rate failed) each set would count as complete at once, and
  // the host would be called without end while no time passes.
  if (!AnyOpenPin(devices)) return PassEnd::Failed;
  std::vector<std::unique_ptr<qavasio::CRequestSet>> sets;
  for (uint32_t k = 0; k < setCount; ++k) {
    sets.emplace_back(new (std::nothrow) qavasio::CRequestSet());
    if (sets.back() == nullptr || !sets.back()->Build(devices, frames)) return PassEnd::Failed;
  }

  CTimerResolution timer;
  ClearBuffers(true);
  for (CQZAudioFilter *device : m_devices) {
    device->SetPinsState(KSSTATE_ACQUIRE);
    device->SetPinsState(KSSTATE_PAUSE);
  }

  // Pre-roll: every set goes out before the pins run, in the main loop's
  // order (what the host wrote in its previous call, then the call), so
  // each block the host writes is sent exactly once: the first set carries
  // the cleared buffers, the last pre-roll call's block goes out with the
  // first set sent again.
  uint64_t position = 0;
  HRESULT submitted = S_OK;
  for (uint32_t k = 0; k < setCount && SUCCEEDED(submitted); ++k) {
    qavasio::CopyOutput(outputHalves.data(), outputCount, sets[k]->Outputs(), sets[k]->DeviceCount(), frames);
    submitted = sets[k]->Submit();
    StampTime(position);
    CallHost();
    position += frames;
  }
  for (CQZAudioFilter *device : m_devices) device->SetPinsState(KSSTATE_RUN);

  qavasio::CMmThreadClass proAudio;
  proAudio.Join();

  PassEnd end = FAILED(submitted) ? PassEnd::Failed : PassEnd::Restart;
  bool completedAny = false;
  for (uint32_t k = 0; SUCCEEDED(submitted);) {
    qavasio::CRequestSet &set = *sets[k];
    const DWORD waited = WaitForMultipleObjects(set.EventCount(), set.Events(), TRUE, kSetTimeoutMs);
    if (waited >= WAIT_OBJECT_0 + set.EventCount()) {
      end = PassEnd::TimedOut;
      break;
    }
    set.Completed();
    completedAny = true;
    if (m_stop) {
      end = PassEnd::Stopped;
      break;
    }
    if (notifications.AnySignalled()) break;
    if (set.AnyDiscontinuity()) {
      CAsioTraceLog::Trace(TraceId::AsioOverload, ++m_overloads);
      HostMessage(kAsioOverload);
    }
    qavasio::CopyInput(inputHalves.data(), inputCount, set.Inputs(), set.DeviceCount(), frames);
    qavasio::CopyOutput(outputHalves.data(), outputCount, set.Outputs(), set.DeviceCount(), frames);
    submitted = set.Submit();
    StampTime(position);
    CallHost();
    k = (k + 1) % setCount;
    position += frames;
  }
  // A pass that ran and then lost a submission starts over at once; only
  // one that never completed a set counts as failing.
  if (FAILED(submitted) && completedAny) end = PassEnd::Restart;

  proAudio.Leave();
  // The pins go to STOP first, which gives every queued request back; only
  // what is left then is cancelled. Cancelling a running pin's requests
  // first races with the pin still filling them.
  for (CQZAudioFilter *device : m_devices) {
    device->SetPinsState(KSSTATE_PAUSE);
    device->SetPinsState(KSSTATE_ACQUIRE);
    device->SetPinsState(KSSTATE_STOP);
    device->CancelPinIo();
  }
  for (auto &set : sets) set->WaitPending(kSetTimeoutMs);
  // A host that stopped meanwhile needs no reset request.
  if (m_stop) end = PassEnd::Stopped;
  return end;
}
