#include "winsim/usb/usb_bus.h"

#include <atomic>
#include <string>

#include "winsim/usb/hub_enumeration.h"
#include "winsim/usb/pcap_capture.h"

namespace winsim::usb {
namespace {

// \Device\USBPDO-<n> numbers, unique across buses as on Windows.
std::atomic<uint32_t> g_nextPdoNumber{0};

}  // namespace

UsbBus::UsbBus(uint32_t number, uint32_t frameBase, PDRIVER_OBJECT hubDriver, UsbDeviceListener notify)
    : m_number(number), m_hubDriver(hubDriver), m_notify(std::move(notify)), m_controller(number, frameBase) {}

UsbBus::~UsbBus() { Stop(); }

void UsbBus::Start(Scheduler &scheduler) {
  m_scheduler = &scheduler;
  KeInitializeEvent(&m_hubEvent, SynchronizationEvent, FALSE);
  m_controller.Start(scheduler);
  m_hubThread = scheduler.Spawn("usb hub bus " + std::to_string(m_number), ThreadKind::SystemWorker,
                                kSystemProcessId, [this] { HubThread(); });
}

void UsbBus::Stop() {
  if (m_hubThread == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;
  }
  KeSetEvent(&m_hubEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(m_hubThread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  m_hubThread.reset();
  m_controller.SetCapture(nullptr);
  m_controller.Stop();
  // Device objects a driver still sits on are left to the I/O manager's
  // shutdown; the rest go now.
  std::vector<UsbPdo *> pdos;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto &[port, pdo] : m_pdos) pdos.push_back(pdo.get());
  }
  for (UsbPdo *pdo : pdos) {
    pdo->DeviceGone();
    pdo->DeleteIfDone();
  }
}

UsbDeviceHandle UsbBus::Plug(std::shared_ptr<UsbFunction> device) {
  int port = m_controller.Attach(device);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_capture != nullptr) m_capture->SetDeviceSpeed(m_number, port, device->Speed());
  }
  auto pdo = std::make_unique<UsbPdo>(*this, port, device, EnumerateDevice(m_controller, port));
  if (!NT_SUCCESS(pdo->CreateDevice(m_hubDriver, ++g_nextPdoNumber))) {
    m_controller.Detach(port);
    return {};
  }
  UsbPdo *created = pdo.get();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_pdos[port] = std::move(pdo);
  }
  if (m_notify) m_notify(UsbDeviceEvent{UsbDeviceEventKind::Arrived, false, created->Info()});
  return UsbDeviceHandle{m_number, port};
}

bool UsbBus::Unplug(int port, bool surprise) {
  UsbPdo *pdo = Pdo(port);
  if (pdo == nullptr || !pdo->Present()) return false;
  if (!surprise && m_notify) m_notify(UsbDeviceEvent{UsbDeviceEventKind::Leaving, false, pdo->Info()});
  pdo->DeviceGone();
  if (m_notify) m_notify(UsbDeviceEvent{UsbDeviceEventKind::Gone, surprise, pdo->Info()});
  pdo->DeleteIfDone();
  return true;
}

UsbPdo *UsbBus::Pdo(int port) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_pdos.find(port);
  return it == m_pdos.end() ? nullptr : it->second.get();
}

std::vector<UsbDeviceInfo> UsbBus::PresentDevices() const {
  std::vector<UsbPdo *> pdos;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto &[port, pdo] : m_pdos) pdos.push_back(pdo.get());
  }
  std::vector<UsbDeviceInfo> present;
  for (UsbPdo *pdo : pdos) {
    if (pdo->Present() && !pdo->Deleted()) present.push_back(pdo->Info());
  }
  return present;
}

bool UsbBus::SurpriseRemoveAt(int port, VTime when) {
  UsbPdo *pdo = Pdo(port);
  if (pdo == nullptr || !pdo->Present()) return false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_timedRemovals.emplace(when, port);
  }
  KeSetEvent(&m_hubEvent, IO_NO_INCREMENT, FALSE);
  return true;
}

bool UsbBus::SurpriseRemoveAfterUrbs(int port, uint64_t count) {
  UsbPdo *pdo = Pdo(port);
  if (pdo == nullptr || !pdo->Present() || count == 0) return false;
  pdo->RemoveAfterUrbs(count);
  return true;
}

void UsbBus::PullDevice(int port) {
  UsbPdo *pdo = Pdo(port);
  if (pdo == nullptr || !pdo->Present()) return;
  pdo->DeviceGone();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_unreported.push_back(port);
  }
  KeSetEvent(&m_hubEvent, IO_NO_INCREMENT, FALSE);
}

void UsbBus::SetBusInterfaceVersions(uint32_t mask) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_busInterfaceVersions = mask;
}

uint32_t UsbBus::BusInterfaceVersions() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_busInterfaceVersions;
}

void UsbBus::SetCapture(PcapCapture *capture) {
  std::vector<std::pair<int, BusSpeed>> devices;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_capture = capture;
    if (capture != nullptr) {
      for (const auto &[port, pdo] : m_pdos) {
        capture->SetDeviceSpeed(m_number, port, pdo->HighSpeed() ? BusSpeed::High : BusSpeed::Full);
      }
    }
  }
  m_controller.SetCapture(capture);
}

VTime UsbBus::NextRemovalLocked() const {
  return m_timedRemovals.empty() ? kInfinite : m_timedRemovals.begin()->first;
}

// Takes the removals that are due; each device goes as an injected surprise
// removal would, and is reported right away.
void UsbBus::RunDueRemovals() {
  std::vector<int> due;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    VTime now = m_scheduler->Now();
    while (!m_timedRemovals.empty() && m_timedRemovals.begin()->first <= now) {
      due.push_back(m_timedRemovals.begin()->second);
      m_timedRemovals.erase(m_timedRemovals.begin());
    }
  }
  for (int port : due) PullDevice(port);
}

void UsbBus::ReportGone(int port) {
  UsbPdo *pdo = Pdo(port);
  if (pdo == nullptr) return;
  if (m_notify) m_notify(UsbDeviceEvent{UsbDeviceEventKind::Gone, true, pdo->Info()});
  pdo->DeleteIfDone();
}

// The hub's worker: wakes for a timed removal or a pulled device and reports
// departures to the listener at PASSIVE_LEVEL.
void UsbBus::HubThread() {
  for (;;) {
    VTime next;
    std::vector<int> unreported;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_stopping) return;
      next = NextRemovalLocked();
      unreported.swap(m_unreported);
    }
    for (int port : unreported) ReportGone(port);
    if (!unreported.empty()) continue;
    VTime now = m_scheduler->Now();
    if (next <= now) {
      RunDueRemovals();
      continue;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(next - now);
    KeWaitForSingleObject(&m_hubEvent, Executive, KernelMode, FALSE, next == kInfinite ? nullptr : &timeout);
  }
}

}  // namespace winsim::usb
