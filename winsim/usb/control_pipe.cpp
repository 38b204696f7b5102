// The default pipe of each port: one control transfer on the bus at a time,
// each taking the time the port's timing profile says; the others wait in
// submission order. A transfer on the bus can be cancelled: the controller
// stops it and the pipe is free at once.
#include <usb.h>

#include <algorithm>

#include "winsim/usb/handshake_status.h"
#include "winsim/usb/host_controller.h"

namespace winsim::usb {

void HostController::SetControlTiming(int port, const ControlTiming &timing) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_ports.find(port);
  if (it != m_ports.end()) it->second.timing = timing;
}

void HostController::ServeControlLocked(Transfer &transfer, VTime now) {
  Port &port = m_ports[transfer.m_port];
  TransferOutcome outcome = port.device->Control(transfer.setup, transfer.buffer, now);
  if (outcome.handshake == Handshake::Nak) {
    // The device never finishes the request: only a cancel ends it, and
    // until then nothing else gets through the pipe.
    transfer.m_parked = true;
    port.controlActive = &transfer;
    port.controlBusyUntil = kInfinite;
    return;
  }
  bool in = (transfer.setup.bmRequestType & kRequestDirectionIn) != 0;
  transfer.status = UsbdStatusOf(outcome.handshake, in);
  transfer.actualLength = outcome.handshake == Handshake::Ack ? std::min(outcome.length, transfer.length) : 0;
  std::erase(m_waiting, &transfer);
  const VTime duration =
      std::max({outcome.duration, m_controlDuration, ControlDuration(port.timing, transfer.setup, m_controlRandom)});
  port.controlBusyUntil = now + duration;
  port.device->ControlEnded(transfer.setup, now + duration);
  transfer.m_inFlight = true;
  QueueDoneLocked(&transfer, now + duration);
}

void HostController::StartQueuedControlLocked(VTime now) {
  for (auto &[number, port] : m_ports) {
    while (!port.gone && !port.controlQueue.empty() && port.controlBusyUntil <= now) {
      Transfer *next = port.controlQueue.front();
      port.controlQueue.erase(port.controlQueue.begin());
      ServeControlLocked(*next, now);
    }
  }
}

// A control transfer leaving the controller's lists (cancelled, aborted,
// failed) no longer waits for or holds its port's default pipe.
void HostController::ReleaseDefaultPipeLocked(Transfer &transfer, VTime now) {
  auto it = m_ports.find(transfer.m_port);
  if (it == m_ports.end()) return;
  Port &port = it->second;
  std::erase(port.controlQueue, &transfer);
  if (port.controlActive == &transfer) {
    port.controlActive = nullptr;
    port.controlBusyUntil = now;
  }
}

// A request still in its data or status stage is stopped where it is: it
// completes cancelled now, ahead of the completions queued before it.
bool HostController::CancelInFlightControlLocked(Transfer *transfer, VTime now) {
  if (transfer->kind != TransferKind::Control || !transfer->m_inFlight || transfer->m_due <= now) return false;
  for (auto &lane : m_lanes) {
    for (auto it = lane->done.begin(); it != lane->done.end(); ++it) {
      if (it->second != transfer) continue;
      lane->done.erase(it);
      auto port = m_ports.find(transfer->m_port);
      if (port != m_ports.end()) port->second.controlBusyUntil = now;
      transfer->status = USBD_STATUS_CANCELED;
      transfer->actualLength = 0;
      transfer->m_due = now;
      lane->done.emplace(now, transfer);
      // Completions queued after this one waited behind its old time; what
      // comes next waits only behind those that are still queued.
      lane->lastDue = lane->done.rbegin()->first;
      return true;
    }
  }
  return false;
}

VTime HostController::NextControlWakeLocked() const {
  VTime next = kInfinite;
  for (const auto &[number, port] : m_ports) {
    if (!port.controlQueue.empty()) next = std::min(next, port.controlBusyUntil);
  }
  return next;
}

}  // namespace winsim::usb
