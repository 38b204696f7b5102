// Installing a driver package from its INF: the package is read and checked
// whole, then each function-driver service it adds becomes a DriverPackage
// of the PnP manager, bound to the hardware ids of its models. When a device
// binds, its model's installation runs (driver and hardware key AddReg, the
// interfaces it provisions with their AddReg) before the driver loads.
#pragma once
#include <wdm.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/kernel/pnp_manager.h"
#include "winsim/setup/inf_package.h"

namespace winsim::setup {

// The images an installation can load: service name (any case) -> entry.
using ServiceEntries = std::map<std::u16string, PDRIVER_INITIALIZE>;

struct PackageResult {
  std::string fileName;
  InfError error;                        // code 0: installed
  std::vector<std::u16string> hardwareIds;  // every id the INF's models name

  bool Ok() const { return !error.Failed(); }
  // "installed QavAudio.inf" or "QavAudio.inf:12: <why>"
  std::string Describe() const;
};

// Reads the INF for the architecture and builds the manager's packages.
// pickedIds: hardware ids of devices the user points at this INF although
// it does not list them (Device Manager's "Have Disk"): they get the INF's
// first model.
PackageResult BuildDriverPackages(std::string_view fileName, std::string_view infText, std::string_view architecture,
                                  const ServiceEntries &services, const std::vector<std::u16string> &pickedIds,
                                  std::vector<DriverPackage> *packages);

}  // namespace winsim::setup
