// A stand-in ASIO host: callbacks that record what the driver told them, and
// an optional hook that runs in every buffer switch on the streaming thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "uac2common/asiodriver/qzusb2asio.h"

namespace asiotest {

class HostRecorder {
 public:
  HostRecorder();
  ~HostRecorder();
  HostRecorder(const HostRecorder &) = delete;
  HostRecorder &operator=(const HostRecorder &) = delete;

  ASIOCallbacks *Callbacks() { return &m_callbacks; }
  // Forgets everything recorded.
  void Reset();

  // What kAsioSupportsTimeInfo is answered with.
  LONG timeInfoAnswer = 0;
  // Runs in every buffer switch (index, switch number from 0).
  std::function<void(uint32_t switchNumber)> onSwitch;

  uint32_t Switches() const { return m_switches.load(); }
  uint32_t NonZeroIndexes() const { return m_nonZeroIndexes.load(); }
  uint32_t Messages(LONG selector) const;
  std::vector<double> RateChanges() const;
  // Sample positions bufferSwitchTimeInfo received, in order.
  std::vector<uint64_t> Positions() const;
  // Waits (virtual time) until `count` switches happened or `ms` passed.
  bool WaitForSwitches(uint32_t count, uint32_t ms) const;

 private:
  static void BufferSwitch(LONG index, ASIOBool directProcess);
  static void SampleRateDidChange(ASIOSampleRate rate);
  static LONG AsioMessage(LONG selector, LONG value, void *message, double *opt);
  static ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, LONG index, ASIOBool directProcess);
  void Switch(LONG index);

  ASIOCallbacks m_callbacks;
  std::atomic<uint32_t> m_switches{0};
  std::atomic<uint32_t> m_nonZeroIndexes{0};
  mutable std::mutex m_lock;
  std::vector<LONG> m_messages;
  std::vector<double> m_rateChanges;
  std::vector<uint64_t> m_positions;
};

}  // namespace asiotest
