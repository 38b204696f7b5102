// libFuzzer target: arbitrary configuration descriptors through the driver's
// device start. Each input is one byte choosing a catalog model (its device
// descriptor, strings and clocks) followed by the configuration descriptor
// the device serves instead of its own. The device is plugged into a Machine
// with QavAudio installed, started by the PnP manager and unplugged again;
// the driver unloads after each device, which checks it leaked no pool.
// Crashes, sanitizer reports and winsim bug checks are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "kerneldriver/qavaudio_inf.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"
#include "fuzz/recycled_machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

std::u16string HardwareId(const winsim::devices::DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// One Machine for the whole run: the driver binds to every served catalog model.
struct FuzzMachine {
  winsim::Machine machine;
  std::vector<winsim::devices::DeviceDefinition> bases;

  FuzzMachine() {
    // A bug check ends the process with _exit, which libFuzzer would not
    // notice; an abort makes it save the input.
    winsim::SetBugCheckHandler([](const winsim::BugCheckReport &) { std::abort(); });
    std::vector<std::u16string> ids;
    for (const auto &model : winsim::devices::Catalog()) {
      auto built = winsim::devices::BuildDevice(model);
      if (!built.Ok()) continue;
      bases.push_back(built.definition);
      ids.push_back(HardwareId(model));
    }
    // Models the INF does not list are pointed at it by hand ("Have Disk").
    if (!machine.InstallPackage(qav::kQavAudioInfName, qav::QavAudioInfText(), {{u"QavAudio", DriverEntry}}, ids).Ok()) {
      std::abort();
    }
  }

  void Run(const uint8_t *data, size_t size) {
    winsim::devices::DeviceDefinition definition = bases[data[0] % bases.size()];
    definition.descriptors.configuration.assign(data + 1, data + size);
    auto device = std::make_shared<winsim::devices::AudioDevice>(definition);
    winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
    machine.Pnp().WaitIdle();
    if (handle.Valid()) machine.UnplugDevice(handle, false);
    machine.Pnp().WaitIdle();
    winsim::DebugLog::Clear();
  }
};

constexpr unsigned kRunsPerMachine = 200;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return qavfuzz::RecycledMachine<FuzzMachine>::Run(data, size, 1, kRunsPerMachine);
}
