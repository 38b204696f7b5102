// Commands of the host build of qav, run against the simulated machine.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/qav/sim_source.h"
#include "tools/qav/stop_reason.h"

namespace qav {

// What one start of the driver on a simulated device came to.
struct StartReport {
  bool plugged = false;      // the machine enumerated the device
  bool driverBound = false;  // the INF's hardware ids matched and the driver got the device
  uint32_t startStatus = 0;
  uint32_t postStartStatus = 0;
  std::vector<std::string> driverTraces;  // the driver's own lines, in order, without its prefix
  StartVerdict verdict;
};

// Boots a machine with the driver, plugs the device, waits for PnP, unplugs.
// `printLog` prints the device state and the whole machine log on stdout.
StartReport StartDevice(const winsim::devices::DeviceDefinition &definition, bool printLog);

int RunStart(const SimSource &source);
int ListModels();

}  // namespace qav
