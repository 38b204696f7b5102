#include "winsim/usb/pipe_table.h"

#include <atomic>

#include "winsim/usb/descriptor_walk.h"

namespace winsim::usb {
namespace {

// Handles look like kernel addresses in a range nothing is allocated from,
// and step by 16 so no two handles of any kind are equal.
constexpr uintptr_t kHandleBase = 0xFFFFFA8000000000ull;
std::atomic<uintptr_t> g_nextHandle{1};

const USB_INTERFACE_DESCRIPTOR *AsInterface(const USB_COMMON_DESCRIPTOR *descriptor) {
  if (descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
      descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
    return nullptr;
  }
  return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(descriptor);
}

bool Periodic(USBD_PIPE_TYPE type) { return type == UsbdPipeTypeIsochronous || type == UsbdPipeTypeInterrupt; }

// Bytes per service interval: high-speed periodic endpoints may move up to
// three packets per microframe (bits 11-12 of wMaxPacketSize).
uint32_t MaxPacketBytes(uint16_t wMaxPacketSize, USBD_PIPE_TYPE type, bool highSpeed) {
  uint32_t size = wMaxPacketSize & 0x07FF;
  uint32_t additional = (wMaxPacketSize >> 11) & 0x3;
  if (!highSpeed || !Periodic(type) || additional == 3) return size;
  return size * (1 + additional);
}

uint32_t IntervalMicroframes(uint8_t bInterval, USBD_PIPE_TYPE type, bool highSpeed) {
  if (!Periodic(type)) return 1;
  uint32_t exponent = bInterval == 0 ? 0 : (bInterval > 16 ? 15u : bInterval - 1u);
  if (highSpeed) return 1u << exponent;
  // Full speed counts in 1 ms frames: iso as a power of two, interrupt as is.
  uint32_t frames = type == UsbdPipeTypeIsochronous ? 1u << exponent : (bInterval == 0 ? 1u : bInterval);
  return frames * 8;
}

PipeInfo DescribePipe(const USB_ENDPOINT_DESCRIPTOR &endpoint, uint8_t interfaceNumber, bool highSpeed) {
  PipeInfo pipe;
  pipe.handle = PipeTable::NewHandle();
  pipe.endpoint = endpoint.bEndpointAddress;
  pipe.type = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
  pipe.maxPacketBytes = MaxPacketBytes(endpoint.wMaxPacketSize, pipe.type, highSpeed);
  pipe.bInterval = endpoint.bInterval;
  pipe.intervalMicroframes = IntervalMicroframes(endpoint.bInterval, pipe.type, highSpeed);
  pipe.interfaceNumber = interfaceNumber;
  return pipe;
}

}  // namespace

PVOID PipeTable::NewHandle() {
  return reinterpret_cast<PVOID>(kHandleBase + 16 * g_nextHandle.fetch_add(1, std::memory_order_relaxed));
}

USBD_STATUS PipeTable::DescribeSetting(std::span<const uint8_t> configuration, uint8_t number, uint8_t alternate,
                                       bool highSpeed, InterfaceSetting *setting) {
  uint16_t total = ConfigurationTotalLength(configuration.data(), configuration.size());
  if (total == 0 || total > configuration.size()) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  DescriptorWalk walk(configuration.data(), total);
  const USB_INTERFACE_DESCRIPTOR *found = nullptr;
  while (const USB_COMMON_DESCRIPTOR *descriptor = walk.Next()) {
    const USB_INTERFACE_DESCRIPTOR *candidate = AsInterface(descriptor);
    if (candidate != nullptr && candidate->bInterfaceNumber == number && candidate->bAlternateSetting == alternate) {
      found = candidate;
      break;
    }
  }
  if (found == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
  *setting = InterfaceSetting{number,
                              alternate,
                              found->bInterfaceClass,
                              found->bInterfaceSubClass,
                              found->bInterfaceProtocol,
                              NewHandle(),
                              {}};
  while (setting->pipes.size() < found->bNumEndpoints) {
    const USB_COMMON_DESCRIPTOR *descriptor = walk.Next();
    if (descriptor == nullptr || descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
      return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;  // fewer endpoints than bNumEndpoints
    }
    if (descriptor->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
    if (descriptor->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    const auto &endpoint = *reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(descriptor);
    if ((endpoint.bEndpointAddress & USB_ENDPOINT_ADDRESS_MASK) == 0 ||
        (endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_CONTROL) {
      return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    setting->pipes.push_back(DescribePipe(endpoint, number, highSpeed));
  }
  return USBD_STATUS_SUCCESS;
}

USBD_CONFIGURATION_HANDLE PipeTable::Configure(std::vector<uint8_t> configuration,
                                               std::vector<InterfaceSetting> interfaces) {
  m_configuration = std::move(configuration);
  m_configurationHandle = NewHandle();
  m_interfaces.clear();
  for (InterfaceSetting &setting : interfaces) m_interfaces[setting.number] = std::move(setting);
  return m_configurationHandle;
}

void PipeTable::Deconfigure() {
  m_configuration.clear();
  m_configurationHandle = nullptr;
  m_interfaces.clear();
}

bool PipeTable::SetInterface(InterfaceSetting setting) {
  auto it = m_interfaces.find(setting.number);
  if (it == m_interfaces.end()) return false;
  it->second = std::move(setting);
  return true;
}

const InterfaceSetting *PipeTable::FindInterface(uint8_t number) const {
  auto it = m_interfaces.find(number);
  return it == m_interfaces.end() ? nullptr : &it->second;
}

std::optional<PipeInfo> PipeTable::FindPipe(USBD_PIPE_HANDLE handle) const {
  if (handle == nullptr) return std::nullopt;
  for (const auto &[number, setting] : m_interfaces) {
    for (const PipeInfo &pipe : setting.pipes) {
      if (pipe.handle == handle) return pipe;
    }
  }
  return std::nullopt;
}

std::vector<uint8_t> PipeTable::OpenEndpoints() const {
  std::vector<uint8_t> endpoints;
  for (const auto &[number, setting] : m_interfaces) {
    for (const PipeInfo &pipe : setting.pipes) endpoints.push_back(pipe.endpoint);
  }
  return endpoints;
}

void FillPipeInformation(const PipeInfo &pipe, USBD_PIPE_INFORMATION *information) {
  information->MaximumPacketSize = static_cast<USHORT>(pipe.maxPacketBytes);
  information->EndpointAddress = pipe.endpoint;
  information->Interval = pipe.bInterval;
  information->PipeType = pipe.type;
  information->PipeHandle = pipe.handle;
  if (information->MaximumTransferSize == 0) information->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
}

}  // namespace winsim::usb
