// `qav [--sim MODEL] start`: boots a simulated machine with the QavAudio
// driver installed, plugs a simulated interface, and reports the device's
// descriptors, what the driver made of it and what reached the device.
#include <wdm.h>

#include <cstdio>
#include <string>

#include "kerneldriver/qavaudio_inf.h"
#include "tools/qav/descriptor_dump.h"
#include "tools/qav/host_commands.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace qav {
namespace {

const uint16_t kFamilyVendors[] = {winsim::devices::kQavVendorId, winsim::devices::kControllerVendorId};

uint16_t U16(const std::vector<uint8_t> &bytes, size_t at) {
  return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8) : 0;
}

std::u16string HardwareId(uint16_t vendor, uint16_t product) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// The shipped INF binds the family's products. A dump of the family's
// vendors with a product id the INF does not list is pointed at it by hand,
// as a user would with Device Manager's "Have Disk"; a device of any other
// vendor finds no driver, as on Windows.
std::vector<std::u16string> PickedIds(uint16_t vendor, uint16_t product) {
  for (uint16_t family : kFamilyVendors) {
    if (vendor == family) return {HardwareId(vendor, product)};
  }
  return {};
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
  if (machine.TraceLog() != nullptr) {
    std::printf("\nDriver trace records:\n");
    for (const std::string &text : winsim::LoggerTexts(*machine.TraceLog())) std::printf("  %s\n", text.c_str());
  }
  std::printf("\nDriver and machine log:\n");
  for (const winsim::LogLine &line : machine.Log()) {
    std::printf("  [%9.3f ms] %-8s %s\n", static_cast<double>(line.time) / winsim::kTicksPerMillisecond,
                line.source.c_str(), line.text.c_str());
  }
}

// The driver's trace records decoded through the message catalogue, then any
// debugger output of its own.
std::vector<std::string> DriverTraces(const winsim::Machine &machine) {
  static constexpr std::string_view kPrefix = "QavAudio: ";
  std::vector<std::string> traces;
  if (machine.TraceLog() != nullptr) traces = winsim::LoggerTexts(*machine.TraceLog());
  for (const winsim::LogLine &line : machine.Log()) {
    if (line.source != "driver" || line.text.rfind(kPrefix, 0) != 0) continue;
    traces.push_back(line.text.substr(kPrefix.size()));
  }
  return traces;
}

}  // namespace

std::string InstallQavAudio(winsim::Machine &machine, const winsim::devices::DeviceDefinition &definition) {
  const winsim::setup::PackageResult installed =
      machine.InstallPackage(kQavAudioInfName, QavAudioInfText(), {{u"QavAudio", DriverEntry}},
                             PickedIds(U16(definition.descriptors.device, 8), U16(definition.descriptors.device, 10)));
  return installed.Ok() ? std::string() : "the driver package was refused: " + installed.Describe();
}

StartReport StartDevice(const winsim::devices::DeviceDefinition &definition, bool printLog) {
  StartReport report;
  winsim::MachineOptions options;
  options.threadName = "qav";
  // The driver's traces are read from the logger (a tool may have set one up).
  if (!winsim::DefaultTraceLogger()) options.traceLogger = winsim::TraceLoggerOptions{};
  winsim::Machine machine(options);
  report.verdict.reason = InstallQavAudio(machine, definition);
  if (!report.verdict.reason.empty()) return report;
  auto device = std::make_shared<winsim::devices::AudioDevice>(definition);
  winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  for (const winsim::usb::UsbDeviceInfo &info : machine.UsbDevices()) {
    if (!(info.handle == handle)) continue;
    auto node = machine.Pnp().Device(info.pdo);
    if (!node) continue;
    report.plugged = true;
    report.driverBound = !node->service.empty();
    report.startStatus = static_cast<uint32_t>(node->startStatus);
    report.postStartStatus = static_cast<uint32_t>(node->postStartStatus);
  }
  report.driverTraces = DriverTraces(machine);
  if (report.driverBound) {
    report.verdict = ExplainStart(report.postStartStatus, report.driverTraces);
    if (report.verdict.started) report.pins = ReadFilterPins(machine, &report.pinsError);
  } else {
    char reason[200];
    std::snprintf(reason, sizeof reason,
                  "no driver: the INF's hardware ids name vendors %04X and %04X, the device carries %04X "
                  "(--as-family runs it as if it carried the family's vendor id)",
                  kFamilyVendors[0], kFamilyVendors[1], U16(definition.descriptors.device, 8));
    report.verdict.reason = reason;
  }
  if (printLog && report.driverBound) {
    std::printf("\nQavAudio: start 0x%08X, post start 0x%08X at %.3f ms of virtual time\n", report.startStatus,
                report.postStartStatus, static_cast<double>(machine.Now()) / winsim::kTicksPerMillisecond);
  }
  if (printLog) {
    PrintDeviceState(*device);
    PrintDriverLog(machine);
  }
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  return report;
}

int RunStart(const SimSource &source) {
  SimDevice sim = LoadSimDevice(source);
  if (!sim.ok) {
    std::fprintf(stderr, "qav: %s\n", sim.error.c_str());
    return 2;
  }
  for (const std::string &note : sim.notes) std::printf("note: %s\n", note.c_str());
  const winsim::devices::DeviceDefinition &definition = sim.definition;
  std::printf("%s", DumpDeviceDescriptor(definition.descriptors.device, StringsOf(definition)).c_str());
  std::printf("%s", DumpConfiguration(definition.descriptors.configuration, StringsOf(definition)).c_str());
  StartReport report = StartDevice(definition, true);
  if (!report.plugged) {
    std::printf("\nThe machine did not give the device to the driver.\n");
    return 1;
  }
  std::printf("\nDriver: %s\n", report.verdict.reason.c_str());
  for (const std::string &note : report.verdict.notes) std::printf("  %s\n", note.c_str());
  if (report.verdict.started) {
    std::printf("\nFilter as a user-mode client reads it:\n");
    if (!report.pinsError.empty()) std::printf("  %s\n", report.pinsError.c_str());
    for (const PinSummary &pin : report.pins) std::printf("  %s\n", DescribePin(pin).c_str());
  }
  return report.verdict.started && report.pinsError.empty() ? 0 : 1;
}

int ListModels() {
  for (const winsim::devices::DeviceModel &model : winsim::devices::Catalog()) {
    std::printf("%-8s %04X:%04X  %s%s\n", model.name.c_str(), model.vendorId, model.productId, model.product.c_str(),
                model.name == winsim::devices::DefaultModelName() ? "  (default)" : "");
  }
  return 0;
}

}  // namespace qav
