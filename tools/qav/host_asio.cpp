#include "tools/qav/host_asio.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "winsim/devices/audio_device.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"
#include "winsim/user/host_modules.h"
//
#include "tools/qav/asio_commands.h"
#include "tools/qav/asio_host.h"
#include "uac2common/asiodriver/driver_clsid.h"

namespace qav {
namespace {

constexpr char kModuleName[] = "QavAsio.so";
// Channels the loopback cable connects; more than any model has.
constexpr uint32_t kMaxCableChannels = 64;

using ServerFunction = HRESULT(STDAPICALLTYPE *)(void);

HRESULT CallServer(HMODULE module, const char *name) {
  auto function = reinterpret_cast<ServerFunction>(reinterpret_cast<void *>(GetProcAddress(module, name)));
  return function != nullptr ? function() : E_NOTIMPL;
}

// The server file registered for our ASIO key's CLSID; empty when none is.
std::string RegisteredServer() {
  const std::vector<AsioDriverEntry> drivers = FindAsioDrivers();
  const AsioDriverEntry *entry = ChooseAsioDriver(drivers, kAsioDriverName);
  if (entry == nullptr || entry->name != kAsioDriverName) return {};
  const std::string path = "CLSID\\" + entry->clsid + "\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "?";
  char value[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH;
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value), &bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? std::string(value) : std::string("?");
}

bool SameFile(const std::string &a, const std::string &b) {
  std::error_code failed;
  return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, failed) && !failed;
}

void SaveText(const std::string &path, const std::string &text, const char *what, bool *ok) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "qav: the %s file %s could not be written\n", what, path.c_str());
    *ok = false;
  }
}

uint32_t SvgRate(const LoopbackOptions &options) {
  if (options.svgRate != 0) return options.svgRate;
  for (uint32_t rate : options.plan.rates) {
    if (rate == 48000) return rate;
  }
  return options.plan.rates.front();
}

int Loopback(const AsioBench &bench, const LoopbackOptions &options) {
  std::vector<LoopbackRow> rows;
  std::string error;
  if (!RunLoopbackSweep(bench, options.plan, &rows, &error)) {
    std::fprintf(stderr, "qav: %s\n", error.c_str());
    return kExitFailed;
  }
  for (const std::string &line : LoopbackTable(rows)) std::printf("%s\n", line.c_str());
  bool ok = true;
  if (!options.csvPath.empty()) SaveText(options.csvPath, LoopbackCsv(rows), "CSV", &ok);
  if (!options.svgPath.empty()) SaveText(options.svgPath, LoopbackSvg(rows, SvgRate(options)), "SVG", &ok);
  size_t lost = 0;
  for (const LoopbackRow &row : rows) lost += row.found ? 0 : 1;
  if (lost > 0) std::fprintf(stderr, "qav: %zu of %zu rows did not measure a round trip\n", lost, rows.size());
  return ok && lost == 0 ? kExitOk : kExitFailed;
}

// The command on the machine's thread once everything is installed.
int AsioOnMachine(const AsioBench &bench, const Args &args, const LoopbackOptions &options) {
  const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CStdConsole console;
  const int code = args[0] == "info" ? ShowAsioInfo(console) : Loopback(bench, options);
  if (SUCCEEDED(entered)) CoUninitialize();
  return code;
}

uint16_t U16(const std::vector<uint8_t> &bytes, size_t at) {
  return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8) : 0;
}

bool ParseAsioArgs(const Args &args, LoopbackOptions *options, std::string *error) {
  if (!args.empty() && args[0] == "info") {
    if (args.size() == 1) return true;
    *error = "qav asio info takes no arguments";
    return false;
  }
  if (!args.empty() && args[0] == "loopback") return ParseLoopbackOptions(Args(args.begin() + 1, args.end()), options, error);
  *error = "choose info or loopback: qav asio info | qav asio loopback [OPTIONS]";
  return false;
}

int PrepareStateFolder(const std::string &folder) {
  if (folder.empty()) {
    std::fprintf(stderr, "qav: no folder for the simulated machine's state: set HOME or XDG_CACHE_HOME, or give "
                         "--state DIR\n");
    return kExitUsage;
  }
  std::error_code created;
  std::filesystem::create_directories(folder, created);
  if (!created) return kExitOk;
  std::fprintf(stderr, "qav: the state folder %s cannot be created: %s\n", folder.c_str(), created.message().c_str());
  return kExitFailed;
}

// Plugs the interface with every input hearing the output of the same
// number, as a loopback cable would, runs the command, unplugs it.
int WithLoopbackCable(winsim::Machine &machine, const winsim::devices::DeviceDefinition &definition, const Args &args,
                      const LoopbackOptions &options) {
  AsioBench bench;
  bench.device = std::make_shared<winsim::devices::AudioDevice>(definition);
  bench.vendorId = U16(definition.descriptors.device, 8);
  bench.productId = U16(definition.descriptors.device, 10);
  for (uint32_t c = 0; c < kMaxCableChannels; ++c) {
    bench.device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
  }
  winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(bench.device);
  machine.Pnp().WaitIdle();
  const int code = AsioOnMachine(bench, args, options);
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  return code;
}

}  // namespace

std::string AsioModulePath() {
  std::error_code failed;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (!failed) {
    const std::filesystem::path beside = self.parent_path() / kModuleName;
    if (std::filesystem::exists(beside, failed)) return beside.string();
  }
#ifdef QAV_ASIO_MODULE_PATH
  return QAV_ASIO_MODULE_PATH;
#else
  return kModuleName;
#endif
}

std::string RegisterAsioModule(const std::string &path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) return "the ASIO driver module " + path + " does not load";
  std::string error;
  // An installer replaces what another copy of the driver registered;
  // the driver's own registration leaves an existing ASIO key alone.
  const std::string registered = RegisteredServer();
  if (!registered.empty() && !SameFile(winsim::ResolveHostPath(registered), path)) {
    if (CallServer(module, "DllUnregisterServer") != S_OK) error = "DllUnregisterServer of " + path + " failed";
  }
  if (error.empty() && CallServer(module, "DllRegisterServer") != S_OK) error = "DllRegisterServer of " + path + " failed";
  FreeLibrary(module);
  return error;
}

int RunAsio(const HostRun &run, const Args &args) {
  LoopbackOptions options;
  std::string error;
  if (!ParseAsioArgs(args, &options, &error)) {
    std::fprintf(stderr, "qav: %s\n", error.c_str());
    return kExitUsage;
  }
  // Someone watching a sweep sees it advance.
  if (isatty(STDERR_FILENO)) options.plan.progress = true;
  SimDevice sim = LoadSimDevice(run.source);
  if (!sim.ok) {
    std::fprintf(stderr, "qav: %s\n", sim.error.c_str());
    return kExitUsage;
  }
  const int prepared = PrepareStateFolder(run.stateFolder);
  if (prepared != kExitOk) return prepared;
  winsim::MachineOptions machineOptions;
  machineOptions.threadName = "qav";
  machineOptions.stateFolder = run.stateFolder;
  machineOptions.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  winsim::Machine machine(machineOptions);
  if (!machine.StateError().empty()) {
    std::fprintf(stderr, "qav: the saved machine state does not load and is left as it is: %s\n",
                 machine.StateError().c_str());
    return kExitFailed;
  }
  std::string refused = InstallQavAudio(machine, sim.definition);
  if (refused.empty()) refused = RegisterAsioModule(AsioModulePath());
  if (!refused.empty()) {
    std::fprintf(stderr, "qav: %s\n", refused.c_str());
    return kExitFailed;
  }
  int code = WithLoopbackCable(machine, sim.definition, args, options);
  if (!machine.SaveState(&error)) {
    std::fprintf(stderr, "qav: the machine's state was not saved: %s\n", error.c_str());
    if (code == kExitOk) code = kExitFailed;
  }
  return code;
}

}  // namespace qav
