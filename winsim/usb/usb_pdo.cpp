#include "winsim/usb/usb_pdo.h"

#include <string>

#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_bus.h"

namespace winsim::usb {
namespace {

constexpr uint32_t kPdoMagic = MAKEFOURCC_TAG('U', 'P', 'd', 'o');

struct PdoExtension {
  uint32_t magic;
  UsbPdo *pdo;
};

}  // namespace

UsbPdo::UsbPdo(UsbBus &bus, int port, std::shared_ptr<UsbFunction> function, EnumeratedDevice enumerated)
    : m_bus(bus),
      m_port(port),
      m_function(std::move(function)),
      m_enumerated(std::move(enumerated)),
      m_ids(BuildDeviceIds(m_enumerated, bus.Number(), port)),
      m_highSpeed(m_function->Speed() == BusSpeed::High) {
  m_busContext.magic = kBusContextMagic;
  m_busContext.pdo = this;
}

NTSTATUS UsbPdo::CreateDevice(PDRIVER_OBJECT hubDriver, uint32_t number) {
  std::u16string name = u"\\Device\\USBPDO-";
  for (char c : std::to_string(number)) name.push_back(static_cast<char16_t>(c));
  UNICODE_STRING deviceName;
  deviceName.Buffer = name.data();
  deviceName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  deviceName.MaximumLength = deviceName.Length;
  NTSTATUS status = IoCreateDevice(hubDriver, sizeof(PdoExtension), &deviceName, FILE_DEVICE_USB,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &m_device);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PdoExtension *>(m_device->DeviceExtension) = PdoExtension{kPdoMagic, this};
  m_device->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  m_device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

UsbPdo *UsbPdo::FromDevice(PDEVICE_OBJECT device) {
  if (device == nullptr || device->DeviceExtension == nullptr) return nullptr;
  auto *extension = static_cast<PdoExtension *>(device->DeviceExtension);
  return extension->magic == kPdoMagic ? extension->pdo : nullptr;
}

HostController &UsbPdo::Controller() const { return m_bus.Controller(); }

UsbDeviceInfo UsbPdo::Info() const {
  return UsbDeviceInfo{UsbDeviceHandle{m_bus.Number(), m_port}, m_device, m_ids, m_function->Label()};
}

bool UsbPdo::AcceptsUrbs() const {
  PdoState state = State();
  return m_present.load() && state != PdoState::SurpriseRemoved && state != PdoState::Removed;
}

PdoState UsbPdo::State() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_state;
}

void UsbPdo::SetState(PdoState state) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_state = state;
}

void UsbPdo::DeviceGone() {
  if (!m_present.exchange(false)) return;
  Controller().Detach(m_port);
}

// A stack that never was built, or one whose REMOVE_DEVICE came through, no
// longer needs the device object. The REMOVE handler, Unplug and the hub
// thread may all get here; m_deleteLock keeps the device object from being
// looked at once one of them has deleted it.
void UsbPdo::DeleteIfDone() {
  std::lock_guard<std::mutex> deleting(m_deleteLock);
  if (m_device == nullptr || Deleted() || m_present.load()) return;
  bool stackless = IoGetAttachedDevice(m_device) == m_device;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != PdoState::Removed && !stackless) return;
    m_deleted = true;
  }
  IoDeleteDevice(m_device);
}

bool UsbPdo::Deleted() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_deleted;
}

std::optional<PipeInfo> UsbPdo::FindPipe(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_pipes.FindPipe(handle);
}

USBD_CONFIGURATION_HANDLE UsbPdo::ConfigurationHandle() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_pipes.ConfigurationHandle();
}

std::vector<uint8_t> UsbPdo::SelectedConfiguration() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::span<const uint8_t> bytes = m_pipes.Configuration();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

USBD_CONFIGURATION_HANDLE UsbPdo::CommitConfiguration(std::vector<uint8_t> configuration,
                                                      std::vector<InterfaceSetting> interfaces) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (configuration.empty()) {
    m_pipes.Deconfigure();
    return nullptr;
  }
  return m_pipes.Configure(std::move(configuration), std::move(interfaces));
}

bool UsbPdo::CommitInterface(USBD_CONFIGURATION_HANDLE configuration, InterfaceSetting setting) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_pipes.ConfigurationHandle() == configuration && m_pipes.SetInterface(std::move(setting));
}

std::vector<uint8_t> UsbPdo::OpenEndpoints() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_pipes.OpenEndpoints();
}

std::vector<uint8_t> UsbPdo::InterfaceEndpoints(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<uint8_t> endpoints;
  if (const InterfaceSetting *setting = m_pipes.FindInterface(interfaceNumber)) {
    for (const PipeInfo &pipe : setting->pipes) endpoints.push_back(pipe.endpoint);
  }
  return endpoints;
}

void UsbPdo::AbortEndpoints(const std::vector<uint8_t> &endpoints) {
  for (uint8_t endpoint : endpoints) Controller().AbortEndpoint(m_port, endpoint);
}

void UsbPdo::AbortEverything() {
  std::vector<uint8_t> endpoints = OpenEndpoints();
  endpoints.push_back(0);
  AbortEndpoints(endpoints);
}

void UsbPdo::TransferStarted(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_inFlight[endpoint];
}

std::vector<PIRP> UsbPdo::TransferFinished(uint8_t endpoint, bool reachedBus) {
  std::vector<PIRP> drained;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto count = m_inFlight.find(endpoint);
    if (count != m_inFlight.end() && --count->second == 0) {
      m_inFlight.erase(count);
      auto [first, last] = m_drainWaiters.equal_range(endpoint);
      for (auto it = first; it != last; ++it) drained.push_back(it->second);
      m_drainWaiters.erase(first, last);
    }
  }
  if (reachedBus) {
    uint64_t completed = m_urbsCompleted.fetch_add(1) + 1;
    uint64_t limit = m_removeAfter.load();
    if (limit != 0 && completed == limit) m_bus.PullDevice(m_port);
  }
  return drained;
}

void UsbPdo::CompleteDrained(const std::vector<PIRP> &aborts) {
  for (PIRP irp : aborts) CompleteUrbNow(irp, static_cast<PURB>(URB_FROM_IRP(irp)), USBD_STATUS_SUCCESS);
}

uint32_t UsbPdo::InFlight(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto count = m_inFlight.find(endpoint);
  return count == m_inFlight.end() ? 0 : count->second;
}

bool UsbPdo::WaitForEndpointDrain(uint8_t endpoint, PIRP irp) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_inFlight.count(endpoint) == 0) return false;
  IoMarkIrpPending(irp);
  m_drainWaiters.emplace(endpoint, irp);
  return true;
}

void UsbPdo::RemoveAfterUrbs(uint64_t count) {
  // Counted from now on, so a limit set mid-run still means "count more".
  m_removeAfter.store(count == 0 ? 0 : m_urbsCompleted.load() + count);
}

}  // namespace winsim::usb
