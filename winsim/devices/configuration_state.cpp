#include "winsim/devices/configuration_state.h"

namespace winsim::devices {

void ConfigurationState::Configure(uint8_t value) {
  m_configuration = value;
  m_alternates.clear();
  for (const InterfaceInfo &itf : m_layout.interfaces) m_alternates[itf.number] = 0;
}

void ConfigurationState::Deconfigure() {
  m_configuration = 0;
  m_alternates.clear();
}

uint8_t ConfigurationState::Alternate(uint8_t interface) const {
  auto found = m_alternates.find(interface);
  return found == m_alternates.end() ? 0 : found->second;
}

const EndpointInfo *ConfigurationState::ActiveEndpoint(uint8_t address) const {
  if (!Configured()) return nullptr;
  for (const auto &[number, alternate] : m_alternates) {
    const InterfaceInfo *itf = m_layout.Find(number);
    const AltSetting *alt = itf ? itf->Alternate(alternate) : nullptr;
    const EndpointInfo *endpoint = alt ? alt->Endpoint(address) : nullptr;
    if (endpoint != nullptr) return endpoint;
  }
  return nullptr;
}

}  // namespace winsim::devices
