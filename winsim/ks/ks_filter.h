// Filter instances: what opening one of a filter factory's device
// interfaces does in ks.sys (IRP_MJ_CREATE on the factory's create item),
// until the I/O manager's create path reaches AVStream. A test opens and
// closes filters through these two calls; an open filter is an open handle
// on the device's stack for the PnP manager.
#pragma once
#include <wdm.h>
#include <ks.h>

namespace winsim::ks {

// With the device mutex held, as AVStream creates filters: the filter
// becomes the factory's last child, gets its bag and descriptor, and the
// descriptor's Create dispatch runs with a create IRP.
// STATUS_INVALID_DEVICE_STATE while the device is not started or after its
// surprise removal; the Create dispatch's failure undoes the filter.
// PASSIVE_LEVEL, not with the device mutex held.
NTSTATUS OpenFilter(PKSFILTERFACTORY factory, PKSFILTER *filter);

// The descriptor's Close dispatch runs, then the filter goes (its events
// detached, its bag freed), with the device mutex held; then the handle
// closes. PASSIVE_LEVEL, not with the device mutex held.
void CloseFilter(PKSFILTER filter);

}  // namespace winsim::ks
