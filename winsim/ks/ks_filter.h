// Filter instances: what opening one of a filter factory's device
// interfaces does in ks.sys (IRP_MJ_CREATE on the factory's create item).
// User mode reaches it through CreateFile and CloseHandle; a kernel test may
// open and close filters directly through OpenFilter and CloseFilter, and
// such a filter counts as an open handle on the device's stack for the PnP
// manager (a file object counts for itself).
#pragma once
#include <wdm.h>
#include <ks.h>

#include <source_location>

namespace winsim::ks {

// With the device mutex held, as AVStream creates filters: the filter
// becomes the factory's last child, gets its bag and descriptor, and the
// descriptor's Create dispatch runs with a create IRP.
// STATUS_INVALID_DEVICE_STATE while the device is not started or after its
// surprise removal; the Create dispatch's failure undoes the filter.
// PASSIVE_LEVEL, not with the device mutex held. A factory that was deleted
// is a bug check naming where.
NTSTATUS OpenFilter(PKSFILTERFACTORY factory, PKSFILTER *filter,
                    const std::source_location &site = std::source_location::current());

// The descriptor's Close dispatch runs, then the filter goes (its events
// detached, its bag freed), with the device mutex held; then the handle
// closes. PASSIVE_LEVEL, not with the device mutex held. The filter is
// remembered as freed at site, the line that closed it: a Ks* call handed it
// later stops the machine naming that line, as does closing it again.
void CloseFilter(PKSFILTER filter, const std::source_location &site = std::source_location::current());

struct FactoryObject;
struct FilterObject;

// The common part of both ways in: the filter is created (or closed) with the
// device mutex taken here. PASSIVE_LEVEL, not holding the device mutex.
NTSTATUS OpenFilterInstance(FactoryObject *factory, FilterObject **filter);
void CloseFilterInstance(FilterObject *filter, const std::source_location &site = std::source_location::current());

}  // namespace winsim::ks
