#include "fuzz/model_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/stream/stream_sync.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_configure.h"
#include "kerneldriver/usb/usb_transport.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pool.h"

namespace qavfuzz {
namespace {

constexpr UCHAR kMaxIsochronousInterval = 4;

[[noreturn]] void Fail(const std::string &what) {
  std::fprintf(stderr, "device_model_fuzzer: %s\n", what.c_str());
  std::abort();
}

// libFuzzer saves the input of a crash, not of an exit: a bug check aborts.
void AbortOnBugCheck(const winsim::BugCheckReport &) { std::abort(); }

std::map<ULONG, size_t> PoolBlocks() {
  std::map<ULONG, size_t> blocks;
  for (const winsim::PoolTagUsage &usage : winsim::Pool::Instance().Outstanding()) blocks[usage.tag] = usage.blocks;
  return blocks;
}

void CheckPoolReturnedTo(const std::map<ULONG, size_t> &before) {
  std::string leaked;
  for (const winsim::PoolTagUsage &usage : winsim::Pool::Instance().Outstanding()) {
    auto it = before.find(usage.tag);
    size_t had = it == before.end() ? 0 : it->second;
    if (usage.blocks > had) {
      leaked += " " + winsim::Pool::TagText(usage.tag) + " x" + std::to_string(usage.blocks - had) + " (oldest from " +
                usage.firstSite + ")";
    }
  }
  if (!leaked.empty()) Fail("pool not freed after teardown:" + leaked);
}

// A pointer the driver keeps into its cached configuration descriptor must
// point at a whole descriptor inside it.
void CheckInside(const UsbDeviceConfig &config, const void *pointer, const char *what) {
  if (pointer == nullptr) return;
  const UCHAR *p = static_cast<const UCHAR *>(pointer);
  const UCHAR *begin = config.configDescriptor;
  const UCHAR *end = begin + config.configLength;
  if (begin == nullptr || p < begin || p + 2 > end || p[0] < 2 || p + p[0] > end) {
    Fail(std::string(what) + " points outside the cached configuration descriptor");
  }
}

void CheckModel(const UsbAudioDevice &device) {
  const UsbDeviceConfig &config = device.config;
  if (config.interfaceCount > kMaxInterfaces) Fail("more interfaces recorded than the model holds");
  for (ULONG i = 0; i < UsbConfigInterfaceCount(&config); ++i) {
    const UsbInterface *usbInterface = UsbConfigInterface(&config, i);
    CheckInside(config, usbInterface->descriptor, "an interface descriptor");
    if (usbInterface->pipeCount > kMaxPipesPerInterface) Fail("more pipes recorded than an interface holds");
    for (ULONG p = 0; p < usbInterface->pipeCount; ++p) {
      CheckInside(config, usbInterface->pipes[p]->endpoint, "a pipe's endpoint descriptor");
    }
  }
  for (const UsbAudioStream *stream : {device.captureStream, device.renderStream}) {
    if (stream == nullptr) continue;
    CheckInside(config, stream->generalDescriptor, "a stream's general descriptor");
    if (stream->channels == 0 || stream->subslot == 0 || stream->dataEndpoint == 0) {
      Fail("a stream without channels, subslot size or data endpoint was kept");
    }
  }
  if (device.audioControl != nullptr && device.audioControl->clockCount > kMaxClocks) {
    Fail("more clock sources recorded than the table holds");
  }
}

// Post start's product name read: a name longer than the buffer is kept truncated.
void ReadProductName(UsbAudioDevice &device) {
  UCHAR index = device.config.deviceDescriptor.iProduct;
  if (index != 0) {
    UsbGetString(&device.config, index, kLanguageEnglishUs, device.productName, sizeof(device.productName));
  }
}

void PrepareStreams(UsbAudioDevice &device, ModelOutcome &outcome) {
  ULONG rate = 0;
  if (!NT_SUCCESS(AudioControlReadRate(device.audioControl, &rate))) return;
  outcome.rate = rate;
  if (device.captureStream != nullptr) {
    outcome.capturePrepared = UsbAudioStreamPrepareForRate(device.captureStream, rate, true);
  }
  if (device.renderStream != nullptr) {
    outcome.renderPrepared = UsbAudioStreamPrepareForRate(device.renderStream, rate, true);
  }
  if (device.captureStream != nullptr && device.renderStream != nullptr) {
    device.streamSync = StreamSyncCreate(device.captureStream, device.renderStream);
  }
}

void Record(const UsbAudioDevice &device, ModelOutcome &outcome) {
  outcome.interfaces = UsbConfigInterfaceCount(&device.config);
  if (device.audioControl != nullptr) {
    outcome.audioControl = true;
    outcome.clocks = device.audioControl->clockCount;
    while (outcome.rates < kMaxRates && device.audioControl->rates[outcome.rates] != 0) ++outcome.rates;
  }
  if (device.captureStream != nullptr) outcome.captureChannels = device.captureStream->channels;
  if (device.renderStream != nullptr) outcome.renderChannels = device.renderStream->channels;
}

// Remove, then the object bag's destruction of the context.
void TearDown(UsbAudioDevice &device) {
  UsbAudioStreamDestroy(device.captureStream);
  UsbAudioStreamDestroy(device.renderStream);
  StreamSyncDestroy(device.streamSync);
  AudioControlDestroy(device.audioControl);
  device.captureStream = nullptr;
  device.renderStream = nullptr;
  device.streamSync = nullptr;
  device.audioControl = nullptr;
  UsbDeconfigure(&device.config);
  FilterDescriptorFree(device.filterDescriptor);
  device.filterDescriptor = nullptr;
  UsbConfigFree(&device.config);
}

// The context the driver's Add callback creates for a KS device.
std::unique_ptr<UsbAudioDevice> CreateContext(KSDEVICE &ksDevice) {
  auto device = std::make_unique<UsbAudioDevice>();
  std::memset(device.get(), 0, sizeof(UsbAudioDevice));
  ksDevice.Context = device.get();
  device->device = &ksDevice;
  device->config.lowerDevice = ksDevice.NextDeviceObject;
  device->urbSize = kDefaultUrbSize;
  device->minUrbSize = kDefaultUrbSize;
  device->sampleRate = kDefaultSampleRate;
  StreamStateLockInitialize(&device->streamState);
  device->filterDescriptor = FilterDescriptorCreate();
  if (!NT_SUCCESS(UsbConfigCreateInterfaces(&device->config)) || device->filterDescriptor == nullptr) {
    Fail("pool ran out setting up the device context");
  }
  return device;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(status));
  return text;
}

}  // namespace

std::string ModelOutcome::Describe() const {
  std::string text = "configuration " + StatusText(configured);
  if (!NT_SUCCESS(configured)) return text;
  text += ", " + std::to_string(interfaces) + " interfaces, model " + StatusText(built);
  if (audioControl) {
    text += "; AudioControl: " + std::to_string(clocks) + " clocks, " + std::to_string(rates) + " rates, " +
            std::to_string(rate) + " Hz";
  }
  // A stream's preparation status, once the rate could be read.
  auto stream = [this](const char *direction, unsigned channels, NTSTATUS prepared) {
    std::string part = std::string("; ") + direction + " " + std::to_string(channels) + " ch";
    return rate != 0 ? part + " (prepared " + StatusText(prepared) + ")" : part;
  };
  if (captureChannels != 0) text += stream("capture", captureChannels, capturePrepared);
  if (renderChannels != 0) text += stream("render", renderChannels, renderPrepared);
  return text;
}

StackOptions OptionsOf(const DeviceScript &script) {
  StackOptions options;
  options.completeInline = (script.flags & kScriptCompleteInline) != 0;
  options.busInterfaceVersions = static_cast<uint8_t>(~(script.flags >> 2) & 0x7);
  return options;
}

ModelRunner::ModelRunner()
    : m_machine(winsim::MachineOptions{.threadName = "fuzz", .echoLog = std::getenv("QAV_ECHO_LOG") != nullptr}) {
  winsim::SetBugCheckHandler(AbortOnBugCheck);
  m_stack = std::make_unique<FakeUsbStack>();
}

ModelRunner::~ModelRunner() = default;

ModelOutcome ModelRunner::Run(const DeviceScript &script) {
  ScriptedDevice device(script);
  return Run(device, OptionsOf(script));
}

ModelOutcome ModelRunner::Run(winsim::usb::UsbFunction &usbDevice, StackOptions options) {
  m_stack->Plug(&usbDevice, options);
  const std::map<ULONG, size_t> pool = PoolBlocks();

  KSDEVICE ksDevice{};
  ksDevice.FunctionalDeviceObject = m_stack->FunctionDevice();
  ksDevice.NextDeviceObject = m_stack->LowerDevice();
  std::unique_ptr<UsbAudioDevice> device = CreateContext(ksDevice);

  ModelOutcome outcome;
  outcome.configured = UsbSelectConfiguration(&device->config);
  if (NT_SUCCESS(outcome.configured)) {
    if (m_stack->HighestIsochronousInterval() > kMaxIsochronousInterval) {
      Fail("an isochronous endpoint reached SELECT_CONFIGURATION with bInterval " +
           std::to_string(m_stack->HighestIsochronousInterval()));
    }
    ReadProductName(*device);
    outcome.built = UsbAudioDeviceBuildModel(device.get(), device->filterDescriptor);
    CheckModel(*device);
    if (NT_SUCCESS(outcome.built) && device->audioControl != nullptr) PrepareStreams(*device, outcome);
    CheckModel(*device);
    Record(*device, outcome);
  }
  TearDown(*device);

  std::string leftovers = m_stack->Leftovers();
  if (!leftovers.empty()) Fail("after teardown the USB stack still has: " + leftovers);
  m_stack->Unplug();
  CheckPoolReturnedTo(pool);
  winsim::DebugLog::Clear();
  return outcome;
}

}  // namespace qavfuzz
