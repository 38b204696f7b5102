// `qav [--sim MODEL] start`: boots a simulated machine with the QavAudio
// driver installed, plugs a simulated interface, and reports the device's
// descriptors, what the driver made of it and what reached the device.
#include <wdm.h>

#include <cstdio>
#include <string>

#include "tools/qav/descriptor_dump.h"
#include "tools/qav/host_commands.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace qav {
namespace {

std::u16string HardwareIdOf(const winsim::devices::DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

StringLookup StringsOf(const winsim::devices::DeviceDefinition &definition) {
  return [&definition](uint8_t index) -> std::optional<std::string> {
    const std::vector<uint8_t> *bytes = definition.descriptors.String(index);
    if (bytes == nullptr) return std::nullopt;
    return DecodeStringDescriptor(*bytes);
  };
}

void PrintDeviceState(const winsim::devices::AudioDevice &device) {
  const auto &model = device.Definition().model;
  std::printf("\nDevice side after start: configuration %u, clock 0x%02X at %u Hz", device.Configuration(),
              device.ActiveClock(), device.ActiveRate());
  if (model.selector) std::printf(", selector input %u", device.SelectorInput());
  std::printf("\n");
  for (size_t i = 0; i < model.streams.size(); ++i) {
    std::printf("  streaming interface %zu: alternate setting %u\n", i + 1,
                device.AlternateSetting(static_cast<uint8_t>(i + 1)));
  }
}

void PrintDriverLog(const winsim::Machine &machine) {
  std::printf("\nDriver and machine log:\n");
  for (const winsim::LogLine &line : machine.Log()) {
    std::printf("  [%9.3f ms] %-8s %s\n", static_cast<double>(line.time) / winsim::kTicksPerMillisecond,
                line.source.c_str(), line.text.c_str());
  }
}

}  // namespace

int RunStart(const std::string &modelName) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(modelName);
  if (model == nullptr) {
    std::fprintf(stderr, "qav: no simulated model named '%s'; try: qav models\n", modelName.c_str());
    return 2;
  }
  winsim::devices::BuildResult built = winsim::devices::BuildDevice(*model);
  if (!built.Ok()) {
    std::fprintf(stderr, "qav: model '%s' cannot be built: %s\n", modelName.c_str(), built.detail.c_str());
    return 1;
  }
  const winsim::devices::DeviceDefinition &definition = built.definition;
  std::printf("%s", DumpDeviceDescriptor(definition.descriptors.device, StringsOf(definition)).c_str());
  std::printf("%s", DumpConfiguration(definition.descriptors.configuration, StringsOf(definition)).c_str());

  winsim::MachineOptions options;
  options.threadName = "qav";
  winsim::Machine machine(options);
  machine.InstallDriver(u"QavAudio", DriverEntry, {HardwareIdOf(*model)});
  auto device = std::make_shared<winsim::devices::AudioDevice>(definition);
  winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  int result = 0;
  for (const winsim::usb::UsbDeviceInfo &info : machine.UsbDevices()) {
    if (!(info.handle == handle)) continue;
    auto node = machine.Pnp().Device(info.pdo);
    if (!node) continue;
    std::printf("\nQavAudio: start 0x%08X, post start 0x%08X at %.3f ms of virtual time\n",
                static_cast<uint32_t>(node->startStatus), static_cast<uint32_t>(node->postStartStatus),
                static_cast<double>(machine.Now()) / winsim::kTicksPerMillisecond);
    if (!NT_SUCCESS(node->postStartStatus)) result = 1;
  }
  PrintDeviceState(*device);
  PrintDriverLog(machine);
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  return result;
}

int ListModels() {
  for (const winsim::devices::DeviceModel &model : winsim::devices::Catalog()) {
    std::printf("%-8s %04X:%04X  %s%s\n", model.name.c_str(), model.vendorId, model.productId, model.product.c_str(),
                model.name == winsim::devices::DefaultModelName() ? "  (default)" : "");
  }
  return 0;
}

}  // namespace qav
