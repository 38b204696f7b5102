#include "winsim/usb/pdo_ids.h"

#include <cstdio>
#include <cstring>

#include "winsim/usb/descriptor_walk.h"

namespace winsim::usb {
namespace {

std::u16string Widen(const char *text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
  return wide;
}

std::u16string Format(const char *format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b, c);
  return Widen(text);
}

struct ClassTriple {
  uint8_t cls = 0, sub = 0, protocol = 0;
};

// The class a composite device's function driver is matched by: its first
// interface association, else its first interface.
bool FirstFunctionClass(const std::vector<uint8_t> &configuration, ClassTriple *triple) {
  uint16_t total = ConfigurationTotalLength(configuration.data(), configuration.size());
  if (total == 0 || total > configuration.size()) return false;
  DescriptorWalk walk(configuration.data(), total);
  while (const USB_COMMON_DESCRIPTOR *descriptor = walk.Next()) {
    if (descriptor->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE &&
        descriptor->bLength >= sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
      const auto *iad = reinterpret_cast<const USB_INTERFACE_ASSOCIATION_DESCRIPTOR *>(descriptor);
      *triple = {iad->bFunctionClass, iad->bFunctionSubClass, iad->bFunctionProtocol};
      return true;
    }
    if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        descriptor->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      const auto *interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(descriptor);
      *triple = {interface->bInterfaceClass, interface->bInterfaceSubClass, interface->bInterfaceProtocol};
      return true;
    }
  }
  return false;
}

// Windows takes a serial number as instance id only when every character may
// appear in a device instance path.
bool UsableSerial(const std::u16string &serial) {
  if (serial.empty() || serial.size() > 255) return false;
  for (char16_t c : serial) {
    if (c <= 0x20 || c > 0x7F || c == u',') return false;
  }
  return true;
}

PWCHAR CopyToPool(const std::u16string &characters) {
  size_t bytes = characters.size() * sizeof(WCHAR);
  auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kHubPnpTag));
  if (buffer != nullptr) std::memcpy(buffer, characters.data(), bytes);
  return buffer;
}

}  // namespace

UsbDeviceIds BuildDeviceIds(const EnumeratedDevice &device, uint32_t bus, int port) {
  UsbDeviceIds ids;
  ids.instanceId = Format("5&%X&0&%u", 0x1000u + bus, static_cast<unsigned>(port));
  if (!device.descriptorRead) {
    ids.deviceId = u"USB\\DEVICE_DESCRIPTOR_FAILURE";
    ids.hardwareIds = {ids.deviceId};
    return ids;
  }
  const USB_DEVICE_DESCRIPTOR &d = device.device;
  ids.deviceId = Format("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
  ids.hardwareIds = {Format("USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct, d.bcdDevice), ids.deviceId};
  ClassTriple triple{d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol};
  bool composite = d.bDeviceClass == 0 || d.bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS;
  if (!composite || FirstFunctionClass(device.configuration, &triple)) {
    ids.compatibleIds = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", triple.cls, triple.sub, triple.protocol),
                         Format("USB\\Class_%02X&SubClass_%02X", triple.cls, triple.sub),
                         Format("USB\\Class_%02X", triple.cls)};
  }
  if (UsableSerial(device.serial)) ids.instanceId = device.serial;
  return ids;
}

PWCHAR PoolMultiString(const std::vector<std::u16string> &strings) {
  std::u16string joined;
  for (const std::u16string &text : strings) {
    joined += text;
    joined.push_back(u'\0');
  }
  joined.push_back(u'\0');
  return CopyToPool(joined);
}

PWCHAR PoolString(const std::u16string &text) {
  std::u16string terminated = text;
  terminated.push_back(u'\0');
  return CopyToPool(terminated);
}

}  // namespace winsim::usb
