#include "winsim/usb/usb_host.h"

#include "winsim/kernel/io_driver.h"
#include "winsim/usb/pcap_capture.h"

namespace winsim::usb {
namespace {

// The hub driver's dispatch routines hand each IRP to the PDO it is for.
NTSTATUS HubInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return UsbPdo::FromDevice(device)->DispatchInternalDeviceControl(irp);
}

NTSTATUS HubPnp(PDEVICE_OBJECT device, PIRP irp) { return UsbPdo::FromDevice(device)->DispatchPnp(irp); }

NTSTATUS HubPower(PDEVICE_OBJECT device, PIRP irp) { return UsbPdo::FromDevice(device)->DispatchPower(irp); }

// WMI is not served: the request completes as it came, as a bus driver's does.
NTSTATUS HubSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = HubPnp;
  driver->MajorFunction[IRP_MJ_POWER] = HubPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HubSystemControl;
  return STATUS_SUCCESS;
}

}  // namespace

uint32_t BusFrameBase(uint32_t number) { return 0x2000u * number + 0x1A5u * (number - 1); }

UsbHost::UsbHost(Scheduler &scheduler, uint32_t busCount) {
  m_hubDriver = LoadDriver(HubDriverEntry, u"usbhub");
  for (uint32_t number = 1; number <= busCount; ++number) {
    auto bus = std::make_unique<UsbBus>(number, BusFrameBase(number), m_hubDriver,
                                        [this](const UsbDeviceEvent &event) { Notify(event); });
    bus->Start(scheduler);
    m_buses.push_back(std::move(bus));
  }
}

UsbHost::~UsbHost() {
  StopCapture();
  for (auto &bus : m_buses) bus->Stop();
  m_buses.clear();
}

std::vector<UsbBus *> UsbHost::Buses() const {
  std::vector<UsbBus *> buses;
  for (const auto &bus : m_buses) buses.push_back(bus.get());
  return buses;
}

UsbBus *UsbHost::Bus(uint32_t number) const {
  return number >= 1 && number <= m_buses.size() ? m_buses[number - 1].get() : nullptr;
}

UsbDeviceHandle UsbHost::Plug(std::shared_ptr<UsbFunction> device, uint32_t bus) {
  UsbBus *target = Bus(bus);
  return target == nullptr || device == nullptr ? UsbDeviceHandle{} : target->Plug(std::move(device));
}

bool UsbHost::Unplug(UsbDeviceHandle handle, bool surprise) {
  UsbBus *bus = Bus(handle.bus);
  return bus != nullptr && bus->Unplug(handle.port, surprise);
}

std::vector<UsbDeviceInfo> UsbHost::Devices() const {
  std::vector<UsbDeviceInfo> devices;
  for (const auto &bus : m_buses) {
    std::vector<UsbDeviceInfo> present = bus->PresentDevices();
    devices.insert(devices.end(), present.begin(), present.end());
  }
  return devices;
}

void UsbHost::SetListener(UsbDeviceListener listener) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_listener = std::move(listener);
}

void UsbHost::Notify(const UsbDeviceEvent &event) {
  UsbDeviceListener listener;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    listener = m_listener;
  }
  if (listener) listener(event);
}

PcapStatus UsbHost::StartCapture(const std::string &path, uint32_t bus) {
  StopCapture();
  if (bus != 0 && Bus(bus) == nullptr) return PcapStatus::OpenFailed;
  auto capture = std::make_unique<PcapCapture>();
  PcapStatus status = capture->Open(path);
  if (status != PcapStatus::Ok) return status;
  for (const auto &each : m_buses) {
    if (bus == 0 || each->Number() == bus) each->SetCapture(capture.get());
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_capture = std::move(capture);
  return PcapStatus::Ok;
}

PcapStatus UsbHost::StopCapture() {
  std::unique_ptr<PcapCapture> capture;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    capture = std::move(m_capture);
  }
  if (capture == nullptr) return PcapStatus::Ok;
  // Once every controller has let go, no record is being written.
  for (auto &bus : m_buses) bus->SetCapture(nullptr);
  return capture->Close();
}

}  // namespace winsim::usb
