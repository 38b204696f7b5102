// The simulated machine a device command runs on in the host build: booted
// with the registry of the state folder, the driver package installed from
// its INF, the --sim interface plugged. The command then runs on the
// machine's thread exactly as on Windows, and the registry goes back into
// the folder, so what one run set (the performance mode, the sample rate)
// is what the next one finds. A state file that does not load stops the run
// and is left as it is.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "tools/qav/host_commands.h"
#include "winsim/devices/audio_device.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"

namespace qav {

std::string DefaultStateFolder() {
  const char *cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/qav";
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/qav";
  return {};
}

int RunOnSimulatedMachine(const HostRun &run, DeviceCommandFn command, const Args &args, CConsole &console) {
  SimDevice sim = LoadSimDevice(run.source);
  if (!sim.ok) {
    console.Err(sim.error);
    return kExitUsage;
  }
  if (run.stateFolder.empty()) {
    console.Err("no folder for the simulated machine's state: set HOME or XDG_CACHE_HOME, or give --state DIR");
    return kExitUsage;
  }
  std::error_code created;
  std::filesystem::create_directories(run.stateFolder, created);
  if (created) {
    console.Err("the state folder " + run.stateFolder + " cannot be created: " + created.message());
    return kExitFailed;
  }
  winsim::MachineOptions options;
  options.threadName = "qav";
  options.stateFolder = run.stateFolder;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;  // the machine's log on stderr, for us
  winsim::Machine machine(options);
  if (!machine.StateError().empty()) {
    console.Err("the saved machine state does not load and is left as it is (repair or delete it, or choose "
                "another folder with --state): " + machine.StateError());
    return kExitFailed;
  }
  const std::string refused = InstallQavAudio(machine, sim.definition);
  if (!refused.empty()) {
    console.Err(refused);
    return kExitFailed;
  }
  if (run.beforePlug) run.beforePlug(machine);
  auto device = std::make_shared<winsim::devices::AudioDevice>(sim.definition);
  winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  if (run.whilePlugged) run.whilePlugged(machine, PluggedDevice{handle, device});
  int code = command(console, args);
  if (run.afterCommand) run.afterCommand(machine);
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  std::string error;
  if (!machine.SaveState(&error)) {
    console.Err("the machine's state was not saved: " + error);
    if (code == kExitOk) code = kExitFailed;
  }
  return code;
}

}  // namespace qav
