#include "winsim/devices/clock_settle.h"

namespace winsim::devices {
namespace {

constexpr usb::VTime kTicksPerMicrosecond = 10;
constexpr uint32_t kMicrosecondsPerMicroframe = 125;

}  // namespace

ClockSettle::ClockSettle(uint32_t microseconds, ClockSettleEffect effect)
    : m_ticks(static_cast<usb::VTime>(microseconds) * kTicksPerMicrosecond),
      m_microframes((microseconds + kMicrosecondsPerMicroframe - 1) / kMicrosecondsPerMicroframe),
      m_effect(effect) {}

void ClockSettle::Changed(usb::VTime now) {
  if (m_ticks == 0 || m_effect == ClockSettleEffect::None) return;
  m_changed = true;
  m_changedAt = now;
  m_dataWindowOpen = false;
}

void ClockSettle::Clear() {
  m_changed = false;
  m_dataWindowOpen = false;
  m_hostSawInvalid = false;
  m_settledUnreported = false;
}

void ClockSettle::Finish() {
  m_changed = false;
  m_dataWindowOpen = false;
  if (m_hostSawInvalid) m_settledUnreported = true;
  m_hostSawInvalid = false;
}

void ClockSettle::Seen(usb::VTime now) {
  if (m_changed && now >= m_changedAt + m_ticks) Finish();
}

bool ClockSettle::ReadInvalid(usb::VTime now) {
  Seen(now);
  if (!m_changed || m_effect != ClockSettleEffect::ReportInvalid) return false;
  m_hostSawInvalid = true;
  return true;
}

bool ClockSettle::DataPacket(uint64_t microframe) {
  if (!m_changed) return false;
  if (!m_dataWindowOpen) {
    m_dataWindowOpen = true;
    m_dataUntil = microframe + m_microframes;
  }
  if (microframe >= m_dataUntil) {
    Finish();
    return false;
  }
  if (m_effect != ClockSettleEffect::MuteData) return false;
  ++m_mutedPackets;
  return true;
}

bool ClockSettle::TakeSettled() {
  const bool settled = m_settledUnreported;
  m_settledUnreported = false;
  return settled;
}

}  // namespace winsim::devices
