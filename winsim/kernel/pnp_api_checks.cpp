#include "winsim/kernel/pnp_api_checks.h"

#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"

namespace winsim::pnp {

PnpManager &RequireManager(const char *api, const std::source_location &site) {
  PnpManager *manager = PnpManager::Active();
  if (manager == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, std::string(api) + " without a running machine", site);
  }
  return *manager;
}

std::shared_ptr<DeviceNode> RequirePdo(PnpManager &manager, PDEVICE_OBJECT device, const char *api,
                                       const std::source_location &site) {
  std::shared_ptr<DeviceNode> node = manager.NodeOf(device);
  if (node == nullptr) {
    BugCheckCode(kPnpDetectedFatalError,
                 "PNP_DETECTED_FATAL_ERROR: " + std::string(api) + " of device object " + Hex(device) +
                     ", which is not a PDO the PnP manager enumerated",
                 site);
  }
  return node;
}

}  // namespace winsim::pnp
