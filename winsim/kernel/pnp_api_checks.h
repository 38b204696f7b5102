// The checks the PnP manager's Io* services make on their callers, as
// Windows does: they need a running manager, and the device calls need a
// PDO it enumerated (anything else is PNP_DETECTED_FATAL_ERROR, 0xCA).
#pragma once
#include <wdm.h>

#include <memory>
#include <source_location>

#include "winsim/kernel/pnp_manager.h"

namespace winsim::pnp {

inline constexpr ULONG kPnpDetectedFatalError = 0xCA;

PnpManager &RequireManager(const char *api, const std::source_location &site);
std::shared_ptr<DeviceNode> RequirePdo(PnpManager &manager, PDEVICE_OBJECT device, const char *api,
                                       const std::source_location &site);

}  // namespace winsim::pnp
