// Commands of the host build of qav, run against the simulated machine.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/qav/device_commands.h"
#include "tools/qav/pin_summary.h"
#include "tools/qav/play_signal.h"
#include "tools/qav/sim_source.h"
#include "tools/qav/stop_reason.h"

#include "winsim/usb/usb_host.h"

namespace winsim {
class Machine;
namespace devices {
class AudioDevice;
}
}

namespace qav {

// What one start of the driver on a simulated device came to.
struct StartReport {
  bool plugged = false;      // the machine enumerated the device
  bool driverBound = false;  // the INF's hardware ids matched and the driver got the device
  uint32_t startStatus = 0;
  uint32_t postStartStatus = 0;
  std::vector<std::string> driverTraces;  // the driver's own lines, in order, without its prefix
  StartVerdict verdict;
  // A started driver's filter as a user-mode client reads it, or why it
  // could not be read.
  std::vector<PinSummary> pins;
  std::string pinsError;
};

// Installs the driver package from the shipped INF, pointing a device of the
// family's vendors that the INF does not list at it by hand. Returns why the
// package was refused, or an empty string.
std::string InstallQavAudio(winsim::Machine &machine, const winsim::devices::DeviceDefinition &definition);

// Boots a machine with the driver, plugs the device, waits for PnP, unplugs.
// `printLog` prints the device state and the whole machine log on stdout.
StartReport StartDevice(const winsim::devices::DeviceDefinition &definition, bool printLog);

// The first filter of the driver, opened for overlapped I/O as a KS client
// opens it (CreateFileA on its interface path); INVALID_HANDLE_VALUE with
// *error set (one line) when the driver registered none or it did not open.
// On a thread of the machine.
HANDLE OpenDriverFilter(winsim::Machine &machine, std::string *error);

// The filter of the started device read through the machine's user-mode API
// (CreateFileA on its interface path, KSPROPSETID_Pin requests); empty with
// *error set when something could not be read. On the machine's own thread.
std::vector<PinSummary> ReadFilterPins(winsim::Machine &machine, std::string *error);


// What `qav play` measured: a test signal written through a render pin,
// the device's loopback read back through a capture pin.
struct PlayReport {
  bool ok = false;    // the run went through; `error` says why not
  std::string error;  // one line
  PlayFormat format;
  uint32_t renderPin = 0, capturePin = 0;
  uint64_t framesSent = 0;
  uint64_t flaggedDiscontinuities = 0;  // capture frames the driver marked
  PlayComparison comparison;
  uint32_t framingFrames = 0;     // the driver's allocator framing: frames...
  uint32_t framingFrameSize = 0;  // ...of this many bytes
  bool Exact() const {
    return ok && comparison.found && comparison.mismatches == 0 && comparison.framesMissing == 0 &&
           flaggedDiscontinuities == 0;
  }
};

// Plugs the device with its capture channels looping back its outputs,
// plays `milliseconds` of the signal and reads the loopback.
PlayReport PlayDevice(const winsim::devices::DeviceDefinition &definition, uint32_t milliseconds);

// The report as `qav play` prints it: the lines, the last one the verdict.
std::vector<std::string> DescribePlay(const PlayReport &report, uint32_t milliseconds);

// The simulated interface a device command runs against.
struct PluggedDevice {
  winsim::usb::UsbDeviceHandle handle;
  std::shared_ptr<winsim::devices::AudioDevice> device;
};

// Where a device command runs on the host: the simulated interface, the
// folder that keeps the machine's registry between runs, and what happens
// on the machine around the command: `beforePlug` once it booted (a test
// makes its USB slow here), `whilePlugged` after the device started, just
// before the command (a test starts its own threads here), `afterCommand`
// before the device is unplugged (the test joins them). All on the
// machine's thread.
struct HostRun {
  SimSource source;
  std::string stateFolder;
  std::function<void(winsim::Machine &)> beforePlug;
  std::function<void(winsim::Machine &, const PluggedDevice &)> whilePlugged;
  std::function<void(winsim::Machine &)> afterCommand;
};

// $XDG_CACHE_HOME/qav, else ~/.cache/qav; empty when neither is known.
std::string DefaultStateFolder();

// Boots the machine with the folder's registry, plugs the interface, runs
// the command as a client on Windows would, unplugs and saves the registry.
int RunOnSimulatedMachine(const HostRun &run, DeviceCommandFn command, const Args &args, CConsole &console);

int RunStart(const SimSource &source);
int RunPlay(const SimSource &source, uint32_t seconds);
int ListModels();

}  // namespace qav
