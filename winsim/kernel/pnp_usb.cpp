// The USB subsystem as a bus the PnP manager listens to.
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_watchdog.h"
#include "winsim/usb/usb_host.h"

namespace winsim {

void PnpManager::ListenTo(usb::UsbHost &host) {
  m_usb = &host;
  host.SetListener([this](const usb::UsbDeviceEvent &event) {
    switch (event.kind) {
      case usb::UsbDeviceEventKind::Arrived: DeviceArrived(event.device.pdo); break;
      case usb::UsbDeviceEventKind::Leaving: DeviceLeaving(event.device.pdo); break;
      case usb::UsbDeviceEventKind::Gone: DeviceGone(event.device.pdo, event.surprise); break;
    }
  });
}

void PnpManager::Shutdown() {
  if (m_usb != nullptr) {
    m_usb->SetListener(nullptr);
    m_usb = nullptr;
  }
  if (Scheduler::Current() == nullptr) return;
  WaitIdle();
  m_watchdog->Stop();
}

}  // namespace winsim
