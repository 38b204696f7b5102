#include "winsim/usb/hub_enumeration.h"

#include <usb.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace winsim::usb {
namespace {

constexpr LONGLONG kControlTimeout = -1000 * 10'000LL;  // 1 s, relative
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint16_t kStringRequestLength = 255;

int32_t GetDescriptor(HostController &controller, int port, uint8_t type, uint8_t index, uint16_t language,
                      std::vector<uint8_t> &buffer) {
  SetupPacket setup{0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8 | index), language,
                    static_cast<uint16_t>(buffer.size())};
  uint32_t actual = 0;
  int32_t status = ControlTransferSync(controller, port, setup, buffer.data(), &actual);
  buffer.resize(USBD_SUCCESS(status) ? actual : 0);
  return status;
}

std::u16string ReadString(HostController &controller, int port, uint8_t index) {
  if (index == 0) return {};
  std::vector<uint8_t> bytes(kStringRequestLength);
  GetDescriptor(controller, port, USB_STRING_DESCRIPTOR_TYPE, index, kLanguageEnglishUs, bytes);
  if (bytes.size() < 2 || bytes[1] != USB_STRING_DESCRIPTOR_TYPE) return {};
  size_t length = std::min<size_t>(bytes[0], bytes.size());
  std::u16string text;
  for (size_t i = 2; i + 1 < length; i += 2) text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  return text;
}

bool ReadDeviceDescriptor(HostController &controller, int port, USB_DEVICE_DESCRIPTOR *descriptor) {
  std::vector<uint8_t> bytes(sizeof(USB_DEVICE_DESCRIPTOR));
  GetDescriptor(controller, port, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, bytes);
  if (bytes.size() != sizeof(USB_DEVICE_DESCRIPTOR) || bytes[0] < sizeof(USB_DEVICE_DESCRIPTOR) ||
      bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
    return false;
  }
  std::memcpy(descriptor, bytes.data(), sizeof *descriptor);
  return true;
}

std::vector<uint8_t> ReadConfiguration(HostController &controller, int port) {
  std::vector<uint8_t> header(sizeof(USB_CONFIGURATION_DESCRIPTOR));
  GetDescriptor(controller, port, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header);
  if (header.size() != sizeof(USB_CONFIGURATION_DESCRIPTOR) || header[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return {};
  }
  uint16_t total = static_cast<uint16_t>(header[2] | header[3] << 8);
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return {};
  std::vector<uint8_t> whole(total);
  GetDescriptor(controller, port, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, whole);
  return whole;
}

}  // namespace

int32_t ControlTransferSync(HostController &controller, int port, const SetupPacket &setup, uint8_t *data,
                            uint32_t *actual) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  Transfer transfer;
  transfer.kind = TransferKind::Control;
  transfer.setup = setup;
  transfer.buffer = data;
  transfer.length = setup.wLength;
  transfer.onComplete = [&done](Transfer &) { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); };
  int32_t status = controller.Submit(port, &transfer);
  if (status != USBD_STATUS_PENDING) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kControlTimeout;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    controller.Cancel(&transfer);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  if (actual != nullptr) *actual = transfer.actualLength;
  return transfer.status;
}

EnumeratedDevice EnumerateDevice(HostController &controller, int port) {
  EnumeratedDevice device;
  device.descriptorRead = ReadDeviceDescriptor(controller, port, &device.device);
  if (!device.descriptorRead) return device;
  device.configuration = ReadConfiguration(controller, port);
  if (device.device.iProduct != 0 || device.device.iSerialNumber != 0) {
    std::vector<uint8_t> languages(kStringRequestLength);
    GetDescriptor(controller, port, USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages);
  }
  device.product = ReadString(controller, port, device.device.iProduct);
  device.serial = ReadString(controller, port, device.device.iSerialNumber);
  return device;
}

}  // namespace winsim::usb
