// libFuzzer target: what an ASIO host can do to the driver object. Each input
// plugs none, one or two catalog models into a Machine with QavAudio
// installed, creates the driver through COM from the QavAsio module and
// drives a sequence of IASIO calls with arbitrary arguments, with passing
// time, surprise removals and performance-mode and rate changes through the
// kernel driver's private interface between them (asio_sequence_script.h).
// The stand-in host checks what it is told: its callbacks only between
// createBuffers and disposeBuffers, buffer switches only between start and
// stop and never on its own thread, every buffer it was given as large as
// asked for. Then the object is released, and nothing may stay behind: no
// object of the module, no thread, no handle, no pool once the devices are
// gone. Crashes, sanitizer reports, winsim bug checks, broken rules and hangs
// (a call that lets too much virtual time pass) are findings.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// winsim's headers before the COM ones: objbase.h's `interface` macro would
// rename their members.
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pool.h"
#include "winsim/machine.h"
#include "winsim/user/device_paths.h"
#include "winsim/user/handles.h"
//
#include "asio_sequence_script.h"
#include "ks_request_script.h"
#include "uac2common/asiodriver/asio_interface.h"
#include "uac2common/asiodriver/asio_panel.h"
#include "uac2common/asiodriver/asio_settings.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/uac2private.h"
#include "fuzz/recycled_machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using asiofuzz::Op;
using ksfuzz::CReader;

// A single IASIO call may let this much virtual time pass (stop waits for a
// pass to end, and a pass's waits are bounded); more is a hang.
constexpr winsim::VTime kMaxCallTime = 20 * winsim::kTicksPerSecond;
constexpr unsigned kRunsPerMachine = 100;
// More than the most request sets a pass pre-rolls, many times over.
constexpr uint32_t kMaxSwitchesAtOneInstant = 2000;

[[noreturn]] void Finding(const char *what) {
  std::fprintf(stderr, "asio_sequence_fuzzer: %s\n", what);
  std::abort();
}

void Require(bool condition, const char *what) {
  if (!condition) Finding(what);
}

// The stand-in host: its callbacks carry no context, so there is one.
struct Host {
  DWORD threadId = 0;
  LONG timeInfoAnswer = 0;
  // Callbacks may come between createBuffers and disposeBuffers, buffer
  // switches between start and stop.
  std::atomic<bool> buffersExist{false};
  std::atomic<bool> streamAllowed{false};
  std::atomic<uint64_t> switches{0};
  // Switches at one instant of virtual time: a stream that nothing paces
  // calls the host without end while no time passes.
  std::atomic<winsim::VTime> lastSwitchAt{-1};
  std::atomic<uint32_t> switchesAtOneInstant{0};
  // The buffers createBuffers handed out, written and read in every switch.
  std::mutex lock;
  std::vector<ASIOBufferInfo> buffers;
  size_t frames = 0;
  ASIOCallbacks callbacks = {};
};

Host g_host;

bool OnHostThread() { return GetCurrentThreadId() == g_host.threadId; }

void TouchBuffers() {
  std::lock_guard<std::mutex> guard(g_host.lock);
  for (const ASIOBufferInfo &info : g_host.buffers) {
    for (void *half : info.buffers) {
      auto *samples = static_cast<int32_t *>(half);
      if (samples == nullptr) Finding("a buffer half is null");
      // The whole half: a buffer smaller than the size asked for shows.
      const int32_t first = samples[0];
      samples[g_host.frames - 1] = first;
      if (info.isInput == ASIOFalse) std::fill_n(samples, g_host.frames, static_cast<int32_t>(g_host.switches));
    }
  }
}

void Switched(LONG index) {
  Require(!OnHostThread(), "a buffer switch ran on the host's own thread");
  Require(g_host.streamAllowed.load(), "a buffer switch came outside start ... stop");
  Require(g_host.buffersExist.load(), "a buffer switch came without buffers");
  Require(index == 0, "a buffer switch with a double-buffer index other than 0");
  TouchBuffers();
  ++g_host.switches;
  const winsim::VTime now = winsim::Scheduler::Active()->Now();
  if (g_host.lastSwitchAt.exchange(now) != now) g_host.switchesAtOneInstant = 0;
  Require(++g_host.switchesAtOneInstant < kMaxSwitchesAtOneInstant, "buffer switches without end and no time passing");
}

void BufferSwitch(LONG index, ASIOBool) { Switched(index); }

ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, LONG index, ASIOBool) {
  Require(params != nullptr, "bufferSwitchTimeInfo without a time record");
  Switched(index);
  return nullptr;
}

void SampleRateDidChange(ASIOSampleRate) {
  Require(OnHostThread(), "sampleRateDidChange outside a host call");
  Require(g_host.buffersExist.load(), "sampleRateDidChange without buffers");
}

LONG AsioMessage(LONG selector, LONG, void *, double *) {
  Require(g_host.buffersExist.load(), "asioMessage without buffers");
  if (!OnHostThread()) Require(g_host.streamAllowed.load(), "asioMessage from a stream outside start ... stop");
  return selector == kAsioSupportsTimeInfo ? g_host.timeInfoAnswer : 0;
}

// The settings dialog's stand-in answers what the input says.
struct PanelAnswer {
  bool launch = false;
  INT_PTR ended = 2;
  qavasio::AsioPanelSettings choice = {};
};
PanelAnswer g_panel;

bool LaunchPanel(LPCSTR name, HWND) {
  Require(name != nullptr, "no device name for the external panel");
  return g_panel.launch;
}

INT_PTR RunDialog(HWND, qavasio::AsioPanelSettings *settings) {
  Require(settings != nullptr, "no settings for the dialog");
  *settings = g_panel.choice;
  return g_panel.ended;
}

std::u16string HardwareId(const winsim::devices::DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// The QavAsio module's own copies of the panel steps and the pending rate.
// The module stays mapped for the whole process once loaded (libFuzzer keeps
// pointers to its coverage counters), so these stay valid across machines.
using PanelStepsFn = qavasio::AsioPanelSteps &(*)();
using TakePendingRateFn = uint32_t (*)();

winsim::MachineOptions Options() {
  winsim::MachineOptions options;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  return options;
}

struct FuzzMachine {
  winsim::Machine machine{Options()};
  std::vector<winsim::devices::DeviceDefinition> devices;
  HMODULE module = nullptr;
  PanelStepsFn panelSteps = nullptr;
  TakePendingRateFn takePendingRate = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;

  FuzzMachine() {
    winsim::SetBugCheckHandler([](const winsim::BugCheckReport &) { std::abort(); });
    std::vector<std::u16string> ids;
    for (const auto &model : winsim::devices::Catalog()) {
      auto built = winsim::devices::BuildDevice(model);
      if (!built.Ok()) continue;
      devices.push_back(built.definition);
      ids.push_back(HardwareId(model));
    }
    machine.InstallDriver(u"QavAudio", DriverEntry, ids);
    static void *pinned = dlopen(QAV_ASIO_MODULE, RTLD_NOW | RTLD_LOCAL);
    Require(pinned != nullptr, "QavAsio could not be mapped");
    module = LoadLibraryA(QAV_ASIO_MODULE);
    Require(module != nullptr, "QavAsio did not load");
    auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
    Require(registerServer != nullptr && registerServer() == S_OK, "DllRegisterServer failed");
    canUnloadNow = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllCanUnloadNow"));
    panelSteps = reinterpret_cast<PanelStepsFn>(GetProcAddress(module, "_ZN7qavasio10PanelStepsEv"));
    takePendingRate = reinterpret_cast<TakePendingRateFn>(GetProcAddress(module, "_ZN7qavasio15TakePendingRateEv"));
    Require(canUnloadNow != nullptr && panelSteps != nullptr && takePendingRate != nullptr,
            "QavAsio lacks an entry the fuzzer uses");
    panelSteps() = {LaunchPanel, RunDialog};
    Require(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK, "CoInitializeEx failed");
    g_host.threadId = GetCurrentThreadId();
  }

  ~FuzzMachine() {
    CoUninitialize();
    if (module != nullptr) FreeLibrary(module);
  }

  void Run(const uint8_t *data, size_t size);
};

// One input's devices and driver object.
class CSession {
 public:
  CSession(FuzzMachine &fuzz, CReader &input) : m_fuzz(fuzz), m_machine(fuzz.machine), m_input(input) {}

  void PlugDevices() {
    const uint8_t count = m_input.U8() % 4;
    const uint8_t models[2] = {m_input.U8(), m_input.U8()};
    const size_t devices = count == 0 ? 0 : count == 2 ? 2 : 1;
    for (size_t i = 0; i < devices; ++i) Plug(m_fuzz.devices[models[i] % m_fuzz.devices.size()]);
    const uint8_t flags = m_input.U8();
    g_host.timeInfoAnswer = (flags & asiofuzz::kHostTimeInfo) ? 1 : 0;
    ASIOCallbacks &callbacks = g_host.callbacks;
    callbacks.bufferSwitch = (flags & asiofuzz::kHostNoBufferSwitch) ? nullptr : BufferSwitch;
    callbacks.sampleRateDidChange = SampleRateDidChange;
    callbacks.asioMessage = (flags & asiofuzz::kHostNoAsioMessage) ? nullptr : AsioMessage;
    callbacks.bufferSwitchTimeInfo = (flags & asiofuzz::kHostNoTimeInfoSwitch) ? nullptr : BufferSwitchTimeInfo;
  }

  void Create() {
    m_handles = winsim::HandleTable::Instance().OpenHandles();
    IASIO *driver = nullptr;
    Require(CoCreateInstance(CLSID_QZUsb2Asio, nullptr, CLSCTX_INPROC_SERVER, CLSID_QZUsb2Asio,
                             reinterpret_cast<void **>(&driver)) == S_OK &&
                driver != nullptr,
            "CoCreateInstance failed");
    m_driver = driver;
  }

  void Run() {
    for (size_t n = 0; n < asiofuzz::kMaxOperations && !m_input.AtEnd(); ++n) {
      const auto op = static_cast<Op>(m_input.U8() % static_cast<uint8_t>(Op::Count));
      const winsim::VTime before = m_machine.Now();
      Call(op);
      if (op != Op::RunTime) Require(m_machine.Now() - before <= kMaxCallTime, "a call hung (virtual time)");
    }
  }

  // Releases the driver object; nothing of it may stay.
  void Release() {
    if (m_driver == nullptr) return;
    const winsim::VTime before = m_machine.Now();
    const ULONG left = m_driver->Release();
    m_driver = nullptr;
    Require(m_machine.Now() - before <= kMaxCallTime, "Release hung (virtual time)");
    Require(left == 0, "references left on the driver object after its last release");
    Stopped();
    Disposed();
    Require(m_fuzz.canUnloadNow() == S_OK, "an object of the module lives on after release");
    // Anything still running would call back now.
    m_machine.RunFor(20 * winsim::kTicksPerMillisecond);
    for (const std::string &name : m_machine.Threads().ReapThreads()) {
      Require(name != "user thread", "a thread of the driver object outlived it");
    }
    Require(winsim::HandleTable::Instance().OpenHandles() == m_handles, "the driver object left handles open");
  }

  // The devices still plugged go orderly; the removed ones finish going.
  void Unplug() {
    for (Plugged &device : m_plugged) {
      if (!device.removed) m_machine.UnplugDevice(device.handle, false);
    }
    m_machine.Pnp().WaitIdle();
    m_plugged.clear();
  }

 private:
  struct Plugged {
    winsim::usb::UsbDeviceHandle handle;
    PDEVICE_OBJECT pdo = nullptr;
    bool removed = false;
  };

  void Plug(const winsim::devices::DeviceDefinition &definition) {
    auto device = std::make_shared<winsim::devices::AudioDevice>(definition);
    for (uint32_t c = 0; c < 32; ++c) device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
    Plugged plugged;
    plugged.handle = m_machine.PlugDevice(device);
    m_machine.Pnp().WaitIdle();
    for (const auto &info : m_machine.UsbDevices()) {
      if (info.handle == plugged.handle) plugged.pdo = info.pdo;
    }
    if (plugged.pdo != nullptr) RegisterClientInterface(plugged.pdo);
    m_plugged.push_back(plugged);
  }

  // The installation gives every device the client interface the ASIO
  // driver enumerates; a driver installed without its INF gets it here.
  void RegisterClientInterface(PDEVICE_OBJECT pdo) {
    winsim::PnpManager &pnp = m_machine.Pnp();
    for (const auto &info : pnp.Interfaces(&GUID_DEVINTERFACE_UacClient, true)) {
      if (info.pdo == pdo && info.referenceString == u"GLOBAL") return;
    }
    std::u16string link;
    if (pnp.RegisterInterface(pdo, GUID_DEVINTERFACE_UacClient, u"GLOBAL", &link) == STATUS_SUCCESS) {
      pnp.SetInterfaceState(link, true);
    }
  }

  void Call(Op op) {
    switch (op) {
      case Op::Init: m_driver->init(nullptr); break;
      case Op::GetChannels: GetChannels(); break;
      case Op::GetLatencies: GetLatencies(); break;
      case Op::GetBufferSize: GetBufferSize(); break;
      case Op::CanSampleRate: m_driver->canSampleRate(Rate()); break;
      case Op::GetSampleRate: GetSampleRate(); break;
      case Op::SetSampleRate: m_driver->setSampleRate(Rate()); break;
      case Op::GetClockSources: GetClockSources(); break;
      case Op::SetClockSource: m_driver->setClockSource(static_cast<LONG>(m_input.U32())); break;
      case Op::GetSamplePosition: GetSamplePosition(); break;
      case Op::GetChannelInfo: GetChannelInfo(); break;
      case Op::CreateBuffers: CreateBuffers(); break;
      case Op::DisposeBuffers:
        m_driver->disposeBuffers();
        Stopped();
        Disposed();
        break;
      case Op::Start:
        g_host.streamAllowed = true;
        m_driver->start();
        break;
      case Op::Stop:
        m_driver->stop();
        Stopped();
        break;
      case Op::ControlPanel: ControlPanel(); break;
      case Op::Future: Future(); break;
      case Op::OutputReady: m_driver->outputReady(); break;
      case Op::DriverInfo: DriverInfo(); break;
      case Op::RunTime: RunTime(); break;
      case Op::SurpriseRemove: SurpriseRemove(); break;
      case Op::SetUrbSize: SetDeviceProperty(KSPROPERTY_UAC_URB_SIZE, asiofuzz::UrbSizeFor); break;
      case Op::SetDeviceRate: SetDeviceProperty(KSPROPERTY_UAC_SAMPLE_RATE, asiofuzz::DeviceRateFor); break;
      case Op::Recreate:
        Release();
        Create();
        break;
      case Op::Count: break;
    }
  }

  void Stopped() { g_host.streamAllowed = false; }
  void Disposed() {
    g_host.buffersExist = false;
    std::lock_guard<std::mutex> guard(g_host.lock);
    g_host.buffers.clear();
    g_host.frames = 0;
  }

  double Rate() {
    const uint8_t choice = m_input.U8();
    if (choice != asiofuzz::kRawChoice) return asiofuzz::RateFor(choice);
    uint64_t bits = m_input.U32();
    bits |= static_cast<uint64_t>(m_input.U32()) << 32;
    double rate = 0;
    std::memcpy(&rate, &bits, sizeof rate);
    return rate;
  }

  void GetChannels() {
    LONG inputs = -1, outputs = -1;
    if (m_driver->getChannels(&inputs, &outputs) == ASE_OK) {
      Require(inputs >= 0 && outputs >= 0, "getChannels reported a negative count");
    }
  }

  void GetLatencies() {
    LONG input = -1, output = -1;
    if (m_driver->getLatencies(&input, &output) == ASE_OK) {
      Require(input >= 0 && output >= 0, "getLatencies reported a negative latency");
    }
  }

  void GetBufferSize() {
    LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    m_driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  }

  void GetSampleRate() {
    ASIOSampleRate rate = -1;
    m_driver->getSampleRate(&rate);
  }

  // The array holds exactly as many records as the host says (a count the
  // driver may fill); one record when the count holds none, which must stay
  // untouched.
  void GetClockSources() {
    const auto count = static_cast<LONG>(m_input.U32());
    LONG said = count;
    const size_t room = count > 0 ? std::min<size_t>(static_cast<size_t>(count), 64) : 1;
    std::vector<ASIOClockSource> clocks(room);
    std::memset(clocks.data(), 0xCC, room * sizeof(ASIOClockSource));
    const ASIOClockSource untouched = clocks[0];
    // A count beyond the array is only honest while the driver has fewer
    // clocks than the array holds (it never has more than 16).
    const ASIOError result = m_driver->getClockSources(clocks.data(), &said);
    if (count <= 0) {
      Require(std::memcmp(&clocks[0], &untouched, sizeof untouched) == 0, "getClockSources wrote for a count of none");
    }
    if (result == ASE_OK) Require(said >= 0 && said <= 64, "getClockSources reported an odd number of clocks");
  }

  void GetSamplePosition() {
    ASIOSamples position = {};
    ASIOTimeStamp stamp = {};
    m_driver->getSamplePosition(&position, &stamp);
  }

  void GetChannelInfo() {
    ASIOChannelInfo info = {};
    info.channel = static_cast<LONG>(m_input.U32());
    info.isInput = static_cast<ASIOBool>(m_input.U32());
    if (m_driver->getChannelInfo(&info) == ASE_OK) {
      Require(std::memchr(info.name, 0, sizeof info.name) != nullptr, "a channel name without its terminator");
      Require(info.type == ASIOSTInt32LSB, "a channel of another sample type");
    }
  }

  void CreateBuffers() {
    const uint8_t records = m_input.U8();
    const auto adjust = static_cast<int32_t>(m_input.U32());
    const uint8_t sizeChoice = m_input.U8();
    const int32_t bufferSize = sizeChoice == asiofuzz::kRawChoice ? m_input.U16() : asiofuzz::BufferSizeFor(sizeChoice);
    const bool withCallbacks = m_input.U8() != 0;
    const int64_t said = static_cast<int64_t>(records) + adjust;
    const auto numChannels = static_cast<LONG>(std::clamp<int64_t>(said, INT32_MIN, INT32_MAX));
    // The array covers every record the host says it passes, up to what any
    // driver may read (more than its channels is refused unread).
    const size_t held = std::max<size_t>(records, numChannels > 0 ? std::min<LONG>(numChannels, 256) : 0);
    std::vector<ASIOBufferInfo> infos(std::max<size_t>(held, 1));
    for (size_t i = 0; i < held; ++i) {
      ASIOBufferInfo &info = infos[i];
      if (i < records) {
        info.isInput = m_input.U8() & 1 ? ASIOTrue : ASIOFalse;
        const uint8_t channel = m_input.U8();
        info.channelNum = channel == asiofuzz::kRawChoice ? static_cast<LONG>(m_input.U32()) : channel % 40;
      } else {
        info.isInput = static_cast<ASIOBool>(i & 1);
        info.channelNum = static_cast<LONG>(i / 2);
      }
      info.buffers[0] = info.buffers[1] = reinterpret_cast<void *>(uintptr_t{0xDEAD0000});
    }
    // The callbacks may come from within the call (kAsioSupportsTimeInfo).
    const bool existed = g_host.buffersExist.exchange(true);
    const ASIOError result =
        m_driver->createBuffers(infos.data(), numChannels, bufferSize, withCallbacks ? &g_host.callbacks : nullptr);
    if (result != ASE_OK) {
      // Refused: what existed before (a second createBuffers) stays.
      g_host.buffersExist = existed;
      return;
    }
    Require(bufferSize > 0, "createBuffers took a buffer size of no samples");
    Require(numChannels >= 0, "createBuffers took a negative channel count");
    std::lock_guard<std::mutex> guard(g_host.lock);
    g_host.buffers.assign(infos.begin(), infos.begin() + numChannels);
    g_host.frames = static_cast<size_t>(bufferSize);
    g_host.buffersExist = true;
  }

  void ControlPanel() {
    const uint8_t answer = m_input.U8();
    g_panel.launch = (answer & 2) != 0;
    g_panel.ended = (answer & 1) ? 1 : 2;
    g_panel.choice.performanceMode = asiofuzz::UrbSizeFor(m_input.U32());
    g_panel.choice.bufferSize = m_input.U32();
    g_panel.choice.sampleRate = asiofuzz::DeviceRateFor(m_input.U32());
    m_driver->controlPanel();
  }

  void Future() {
    const auto selector = static_cast<LONG>(m_input.U32());
    const uint8_t scratchChoice = m_input.U8();
    alignas(16) uint8_t scratch[256];
    std::memset(scratch, 0, sizeof scratch);
    m_driver->future(selector, scratchChoice == 0 ? nullptr : scratch);
  }

  void DriverInfo() {
    char name[32];
    std::memset(name, 0x7F, sizeof name);
    m_driver->getDriverName(name);
    Require(std::memchr(name, 0, sizeof name) != nullptr, "a driver name without its terminator");
    char message[124];
    std::memset(message, 0x7F, sizeof message);
    m_driver->getErrorMessage(message);
    Require(std::memchr(message, 0, sizeof message) != nullptr, "an error text without its terminator");
    m_driver->getDriverVersion();
  }

  void RunTime() {
    const uint32_t ms = std::min<uint32_t>(m_input.U8(), asiofuzz::kMaxRunMs - m_ranMs);
    m_ranMs += ms;
    if (ms > 0) m_machine.RunFor(ms * winsim::kTicksPerMillisecond);
  }

  Plugged *Device(uint8_t choice) {
    if (m_plugged.empty()) return nullptr;
    return &m_plugged[choice % m_plugged.size()];
  }

  void SurpriseRemove() {
    Plugged *device = Device(m_input.U8());
    if (device == nullptr || device->removed) return;
    m_machine.UnplugDevice(device->handle, true);
    device->removed = true;
  }

  // A client of the kernel driver's private interface changes the device
  // under the ASIO driver.
  void SetDeviceProperty(ULONG id, uint32_t (*valueFor)(uint32_t)) {
    Plugged *device = Device(m_input.U8());
    ULONG value = valueFor(m_input.U32());
    if (device == nullptr || device->removed || device->pdo == nullptr) return;
    for (const winsim::DeviceInterfaceInfo &info : m_machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true)) {
      if (info.pdo != device->pdo) continue;
      HANDLE filter = CreateFileA(winsim::UserInterfacePath(info).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (filter == INVALID_HANDLE_VALUE) return;
      KSPROPERTY property = {};
      property.Set = KSPROPSETID_UacPrivate;
      property.Id = id;
      property.Flags = KSPROPERTY_TYPE_SET;
      DWORD bytes = 0;
      DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof property, &value, sizeof value, &bytes, nullptr);
      CloseHandle(filter);
      return;
    }
  }

  FuzzMachine &m_fuzz;
  winsim::Machine &m_machine;
  CReader &m_input;
  IASIO *m_driver = nullptr;
  std::vector<Plugged> m_plugged;
  size_t m_handles = 0;
  uint32_t m_ranMs = 0;
};

void FuzzMachine::Run(const uint8_t *data, size_t size) {
  CReader input(data, size);
  const size_t poolBlocks = winsim::Pool::Instance().Outstanding().size();
  {
    CSession session(*this, input);
    session.PlugDevices();
    session.Create();
    session.Run();
    session.Release();
    session.Unplug();
  }
  Require(winsim::Pool::Instance().Outstanding().size() <= poolBlocks, "pool left behind once the devices were gone");
  // What one input chose must not reach the next: the dialog's pending rate
  // and the user's preferred buffer size.
  takePendingRate();
  RegDeleteKeyA(HKEY_CURRENT_USER, kAsioSettingsKey);
  winsim::DebugLog::Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return qavfuzz::RecycledMachine<FuzzMachine>::Run(data, size, 4, kRunsPerMachine);
}
