// RegisterDeviceNotificationA and the WM_DEVICECHANGE broadcasts behind it:
// when a device interface is enabled (DBT_DEVICEARRIVAL) or disabled
// (DBT_DEVICEREMOVECOMPLETE), every window registered for its class (or for
// all classes) is sent a DEV_BROADCAST_DEVICEINTERFACE_A naming the
// interface as "\\?\<symbolic link>" in the case the link was registered
// with (SetupAPI hands out the same path in lower case).
#pragma once
#include "winsim/kernel/pnp_manager.h"

namespace winsim {

// Machine boot: no registration exists; the manager's interface changes are
// broadcast from now on.
void StartDeviceBroadcasts(PnpManager &manager);

}  // namespace winsim
