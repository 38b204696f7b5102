// A device clock settling after a change of rate or source, or after an
// external clock regained lock: for a model-given time the clock is not yet
// usable, and the device either says so on its clock-validity control or
// sends and plays nothing (ClockSettleEffect).
//
// The settle ends at the earlier of two marks: the settle time after the
// change on the control timeline, or the settle time after the first data
// packet that follows the change, counted in bus microframes (a device that
// relocks to the stream can only start then, so data is muted for that
// time). A host that read the clock invalid meanwhile is told when it
// becomes valid (TakeSettled), as a device reports any validity change.
#pragma once
#include <cstdint>

#include "winsim/devices/device_model.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

class ClockSettle {
 public:
  ClockSettle(uint32_t microseconds, ClockSettleEffect effect);

  void Changed(usb::VTime now);
  // Forgets a change in progress (a reset or power loss).
  void Clear();

  // A transaction at `now`: the settle may have ended.
  void Seen(usb::VTime now);
  // A clock-validity read at `now`: whether it answers "not valid".
  bool ReadInvalid(usb::VTime now);
  // The data packet of `microframe`: whether it carries or plays nothing.
  bool DataPacket(uint64_t microframe);
  // True once after a settle ended that the host had seen as invalid.
  bool TakeSettled();

  bool Settling() const { return m_changed; }
  uint64_t MutedPackets() const { return m_mutedPackets; }

 private:
  void Finish();

  const usb::VTime m_ticks;
  const uint64_t m_microframes;
  const ClockSettleEffect m_effect;
  bool m_changed = false;
  usb::VTime m_changedAt = 0;
  bool m_dataWindowOpen = false;  // the first packet after the change has fixed the data mark
  uint64_t m_dataUntil = 0;       // the first microframe past the data mark
  bool m_hostSawInvalid = false;
  bool m_settledUnreported = false;
  uint64_t m_mutedPackets = 0;
};

}  // namespace winsim::devices
