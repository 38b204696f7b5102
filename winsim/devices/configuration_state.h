// Which configuration and which alternate settings are selected, and so
// which endpoints exist right now.
#pragma once
#include <cstdint>
#include <map>

#include "winsim/devices/interface_layout.h"

namespace winsim::devices {

class ConfigurationState {
 public:
  explicit ConfigurationState(const InterfaceLayout &layout) : m_layout(layout) {}

  bool Configured() const { return m_configuration != 0; }
  uint8_t Configuration() const { return m_configuration; }
  // Every interface back to alternate setting 0.
  void Configure(uint8_t value);
  void Deconfigure();

  // 0 for an unknown interface.
  uint8_t Alternate(uint8_t interface) const;
  void Select(uint8_t interface, uint8_t alternate) { m_alternates[interface] = alternate; }
  // The endpoint in a selected alternate setting of the current
  // configuration; null when it does not exist now.
  const EndpointInfo *ActiveEndpoint(uint8_t address) const;

 private:
  const InterfaceLayout &m_layout;
  uint8_t m_configuration = 0;
  std::map<uint8_t, uint8_t> m_alternates;
};

}  // namespace winsim::devices
