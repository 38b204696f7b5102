// The configuration a device's PDO has selected: a copy of the configuration
// descriptor the driver selected with, the handles the stack issued
// (configuration, interfaces, pipes) and, per pipe, what the host controller
// needs to schedule it. Handles are opaque numbers that are never reused, so
// a stale or foreign handle is recognised rather than dereferenced.
//
// Not thread safe: the PDO guards its table with its own lock.
#pragma once
#include <usb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace winsim::usb {

struct PipeInfo {
  USBD_PIPE_HANDLE handle = nullptr;
  uint8_t endpoint = 0;  // bEndpointAddress
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  uint32_t maxPacketBytes = 0;  // per service interval, high-bandwidth transactions included
  uint8_t bInterval = 0;        // as the selected descriptor says (drivers may have lowered it)
  uint32_t intervalMicroframes = 8;
  uint8_t interfaceNumber = 0;
};

struct InterfaceSetting {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  USBD_INTERFACE_HANDLE handle = nullptr;
  std::vector<PipeInfo> pipes;  // in descriptor order, the order drivers pair them with endpoints
};

class PipeTable {
 public:
  // Reads interface `number`, alternate setting `alternate` and its endpoint
  // descriptors from a configuration descriptor and issues fresh handles.
  // USBD_STATUS_SUCCESS, or the USBD status a stack gives for a missing
  // interface or inconsistent endpoints.
  static USBD_STATUS DescribeSetting(std::span<const uint8_t> configuration, uint8_t number, uint8_t alternate,
                                     bool highSpeed, InterfaceSetting *setting);

  static PVOID NewHandle();

  // Returns the new configuration handle.
  USBD_CONFIGURATION_HANDLE Configure(std::vector<uint8_t> configuration, std::vector<InterfaceSetting> interfaces);
  void Deconfigure();
  bool Configured() const { return m_configurationHandle != nullptr; }
  // Replaces the setting of the interface with the same number; false when
  // the configuration has no such interface.
  bool SetInterface(InterfaceSetting setting);

  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return m_configurationHandle; }
  std::span<const uint8_t> Configuration() const { return m_configuration; }
  const InterfaceSetting *FindInterface(uint8_t number) const;
  std::optional<PipeInfo> FindPipe(USBD_PIPE_HANDLE handle) const;
  // Endpoint addresses of every open pipe.
  std::vector<uint8_t> OpenEndpoints() const;

 private:
  std::vector<uint8_t> m_configuration;
  USBD_CONFIGURATION_HANDLE m_configurationHandle = nullptr;
  std::map<uint8_t, InterfaceSetting> m_interfaces;  // by interface number
};

// The USBD_PIPE_INFORMATION a driver reads back for a pipe; the fields the
// driver supplies (MaximumTransferSize, PipeFlags) are kept.
void FillPipeInformation(const PipeInfo &pipe, USBD_PIPE_INFORMATION *information);

}  // namespace winsim::usb
