// Device-interface paths as user mode gets them: SetupAPI hands out the
// interface's symbolic link as "\\?\..." in lower case, reference string
// included, so whatever compares the path must not care about case.
#pragma once
#include <string>

#include "winsim/kernel/pnp_manager.h"

namespace winsim {

std::string UserInterfacePath(const DeviceInterfaceInfo &info);

}  // namespace winsim
