#include "host_recorder.h"

#include <windows.h>

namespace asiotest {
namespace {

// The callbacks carry no context: one recorder at a time.
std::atomic<HostRecorder *> g_recorder{nullptr};

}  // namespace

HostRecorder::HostRecorder() {
  m_callbacks.bufferSwitch = BufferSwitch;
  m_callbacks.sampleRateDidChange = SampleRateDidChange;
  m_callbacks.asioMessage = AsioMessage;
  m_callbacks.bufferSwitchTimeInfo = BufferSwitchTimeInfo;
  g_recorder.store(this);
}

HostRecorder::~HostRecorder() { g_recorder.store(nullptr); }

void HostRecorder::Reset() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_switches = 0;
  m_nonZeroIndexes = 0;
  m_messages.clear();
  m_rateChanges.clear();
  m_positions.clear();
}

uint32_t HostRecorder::Messages(LONG selector) const {
  std::lock_guard<std::mutex> lock(m_lock);
  uint32_t count = 0;
  for (LONG message : m_messages) count += message == selector ? 1 : 0;
  return count;
}

std::vector<double> HostRecorder::RateChanges() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_rateChanges;
}

std::vector<uint64_t> HostRecorder::Positions() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_positions;
}

bool HostRecorder::WaitForSwitches(uint32_t count, uint32_t ms) const {
  for (uint32_t waited = 0; waited < ms; waited += 5) {
    if (Switches() >= count) return true;
    Sleep(5);
  }
  return Switches() >= count;
}

void HostRecorder::Switch(LONG index) {
  if (index != 0) ++m_nonZeroIndexes;
  const uint32_t number = m_switches.load();
  if (onSwitch) onSwitch(number);
  ++m_switches;
}

void HostRecorder::BufferSwitch(LONG index, ASIOBool) {
  if (HostRecorder *recorder = g_recorder.load()) recorder->Switch(index);
}

void HostRecorder::SampleRateDidChange(ASIOSampleRate rate) {
  HostRecorder *recorder = g_recorder.load();
  if (recorder == nullptr) return;
  std::lock_guard<std::mutex> lock(recorder->m_lock);
  recorder->m_rateChanges.push_back(rate);
}

LONG HostRecorder::AsioMessage(LONG selector, LONG, void *, double *) {
  HostRecorder *recorder = g_recorder.load();
  if (recorder == nullptr) return 0;
  {
    std::lock_guard<std::mutex> lock(recorder->m_lock);
    recorder->m_messages.push_back(selector);
  }
  return selector == kAsioSupportsTimeInfo ? recorder->timeInfoAnswer : 0;
}

ASIOTime *HostRecorder::BufferSwitchTimeInfo(ASIOTime *params, LONG index, ASIOBool) {
  HostRecorder *recorder = g_recorder.load();
  if (recorder == nullptr) return nullptr;
  if (params != nullptr) {
    const uint64_t position = (static_cast<uint64_t>(params->timeInfo.samplePosition.hi) << 32) |
                              params->timeInfo.samplePosition.lo;
    std::lock_guard<std::mutex> lock(recorder->m_lock);
    recorder->m_positions.push_back(position);
  }
  recorder->Switch(index);
  return nullptr;
}

}  // namespace asiotest
