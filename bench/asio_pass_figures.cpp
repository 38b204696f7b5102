// The ASIO driver's streaming cycle on this machine, as markdown tables:
//   Copies     the input copy and the output copy of one request set (the
//              streaming thread's own loops, stream_copy.cpp) against memcpy
//              of the same bytes, median ns, for 2, 8, 20 and 64 channels
//              per direction at 32 to 1024 frames on one device, and for
//              aggregates of several devices, one of which carries more
//              format channels than it names
//   Cycle      one cycle of the main loop as the thread runs it once a set
//              has completed: marking it complete, both copies and the
//              submission of its reads and writes (CRequestSet::Submit) to
//              real pins of the kernel driver on a Machine; CPU time of the
//              calling thread, median and 90th percentile
//   Thread     the streaming thread of a driver object itself: CPU time it
//              spends between two buffer switches (the wait for the set
//              included, the host's callback not)
// On the host build a submission and a wait go through winsim (user-mode
// I/O, the KS class driver and the kernel driver on the simulated machine),
// so those figures are the simulation's cost, not Windows'; the copies are
// the driver's own code. Nothing here asserts a time.
//
//   bash bench/run-asio-pass-figures.sh [--copies]   (--copies: that table only)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// winsim's headers before the COM ones: objbase.h's `interface` macro
// would rename their members.
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/machine.h"
//
#include "uac2common/asiodriver/asio_latency.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/filter/qzaudiofilter_list.h"
#include "uac2common/asiodriver/qzusb2asio.h"
#include "uac2common/asiodriver/stream_copy.h"
#include "uac2common/asiodriver/stream_requests.h"
#include "uac2common/uac2private.h"
#include "median_timing.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

struct Case {
  uint32_t channels;
  uint32_t frames;
};
constexpr Case kCases[] = {{2, 64}, {20, 64}, {20, 256}};
constexpr uint32_t kCopyChannels[] = {2, 8, 20, 64};
constexpr uint32_t kCopyFrames[] = {32, 64, 256, 1024};
constexpr uint32_t kCycles = 2000;

// Keeps the optimiser from dropping work whose result is never read.
void Touch(const void *p) { asm volatile("" : : "r"(p) : "memory"); }

uint64_t ThreadCpuNs() {
  timespec now = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
  return samples[at];
}

// Host buffers: half 0 of every channel of one direction.
struct HostChannels {
  std::vector<std::vector<int32_t>> storage;
  std::vector<int32_t *> halves;
  HostChannels(uint32_t channels, uint32_t frames) : storage(channels, std::vector<int32_t>(frames)) {
    for (auto &channel : storage) {
      for (size_t j = 0; j < channel.size(); ++j) channel[j] = static_cast<int32_t>(j * 2654435761u);
      halves.push_back(channel.data());
    }
  }
};

// One device's transfer buffers in both directions: `format` interleaved
// channels, the first `listed` of them host channels `first` onward.
struct BenchDevice {
  uint32_t format;
  uint32_t listed;
};

// The copies of one request set over `devices` (their listed channels
// adding up to the host's channels), against memcpy of the same bytes.
void CopyRow(const std::vector<BenchDevice> &shape, uint32_t frames) {
  uint32_t channels = 0;
  size_t samples = 0;
  for (const BenchDevice &d : shape) {
    channels += d.listed;
    samples += static_cast<size_t>(d.format) * frames;
  }
  HostChannels inputs(channels, frames), outputs(channels, frames);
  std::vector<std::vector<int32_t>> capture, render;
  std::vector<qavasio::DeviceTransfer> in, out;
  uint32_t first = 0;
  for (const BenchDevice &d : shape) {
    capture.emplace_back(static_cast<size_t>(d.format) * frames, 7);
    render.emplace_back(static_cast<size_t>(d.format) * frames);
    in.push_back({d.format, first, d.listed, capture.back().data()});
    out.push_back({d.format, first, d.listed, render.back().data()});
    first += d.listed;
  }
  std::vector<int32_t> source(samples, 7), scratchIn(samples), scratchOut(samples);
  const uint32_t count = static_cast<uint32_t>(shape.size());
  const double copies = qavbench::MedianNs([&] {
    qavasio::CopyInput(inputs.halves.data(), channels, in.data(), count, frames);
    qavasio::CopyOutput(outputs.halves.data(), channels, out.data(), count, frames);
    Touch(render[0].data());
    Touch(inputs.halves[0]);
  });
  const size_t bytes = samples * sizeof(int32_t);
  const double copy = qavbench::MedianNs([&] {
    std::memcpy(scratchIn.data(), source.data(), bytes);
    std::memcpy(scratchOut.data(), scratchIn.data(), bytes);
    Touch(scratchIn.data());
    Touch(scratchOut.data());
  });
  std::string devices;
  for (const BenchDevice &d : shape) {
    if (!devices.empty()) devices += " + ";
    devices += std::to_string(d.listed);
    if (d.format != d.listed) devices += " of " + std::to_string(d.format);
  }
  std::printf("| %s | %u | %u | %zu | %.1f | %.1f | %.2f |\n", devices.c_str(), channels, frames, bytes, copies, copy,
              copies / copy);
}

void CopyTable() {
  std::printf("\n## Copies of one request set (channels per direction)\n\n");
  std::printf("| devices (listed of format) | channels | frames | bytes each way | input + output copy ns | memcpy ns | "
              "ratio to memcpy |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (uint32_t channels : kCopyChannels) {
    for (uint32_t frames : kCopyFrames) CopyRow({{channels, channels}}, frames);
  }
  // Aggregates: devices side by side, one naming fewer channels than its
  // format carries.
  for (uint32_t frames : {64u, 256u}) {
    CopyRow({{8, 8}, {10, 8}, {4, 4}}, frames);
    CopyRow({{32, 32}, {32, 32}, {10, 10}}, frames);
  }
}

// A catalog model reshaped to `channels` named channels in each direction
// (Larch for many, Alder for two), with its capture hearing its render.
std::shared_ptr<winsim::devices::AudioDevice> MakeDevice(uint32_t channels) {
  winsim::devices::DeviceModel model = *winsim::devices::FindModel(channels > 2 ? "Larch" : "Alder");
  for (auto &stream : model.streams) {
    stream.channelNames.clear();
    for (uint32_t i = 0; i < channels; ++i) stream.channelNames.push_back("Ch " + std::to_string(i + 1));
    stream.channels = static_cast<uint8_t>(channels);
  }
  auto built = winsim::devices::BuildDevice(model);
  if (!built.Ok()) {
    std::fprintf(stderr, "device: %s\n", built.detail.c_str());
    std::exit(1);
  }
  auto device = std::make_shared<winsim::devices::AudioDevice>(built.definition);
  for (uint32_t c = 0; c < channels; ++c) device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
  return device;
}

std::vector<std::u16string> FamilyIds() {
  std::vector<std::u16string> ids;
  for (const auto &model : winsim::devices::Catalog()) {
    char text[32];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
    ids.emplace_back(text, text + std::char_traits<char>::length(text));
  }
  return ids;
}

// A Machine with one plugged device that the ASIO driver's filter list finds.
struct BenchMachine {
  winsim::Machine machine;
  winsim::usb::UsbDeviceHandle handle;

  explicit BenchMachine(uint32_t channels) {
    machine.InstallDriver(u"QavAudio", DriverEntry, FamilyIds());
    handle = machine.PlugDevice(MakeDevice(channels));
    machine.Pnp().WaitIdle();
    for (const auto &info : machine.UsbDevices()) {
      if (info.handle != handle) continue;
      std::u16string link;
      machine.Pnp().RegisterInterface(info.pdo, GUID_DEVINTERFACE_UacClient, u"GLOBAL", &link);
      machine.Pnp().SetInterfaceState(link, true);
    }
  }
  ~BenchMachine() {
    machine.UnplugDevice(handle, false);
    machine.Pnp().WaitIdle();
  }
};

struct CycleFigures {
  double median = 0;
  double p90 = 0;
  uint32_t sets = 0;
};

// The main loop's work per completed set, timed on this thread, with the
// waits for completion left out.
CycleFigures MeasureCycle(const Case &c) {
  BenchMachine bench(c.channels);
  CQZAudioFilterList list;
  list.EnumerateDevices();
  CQZAudioFilter *filter = list.GetFilter(0);
  CycleFigures figures;
  if (filter == nullptr || !filter->OpenPins(48000)) return figures;
  qavasio::StreamDevice device;
  device.capturePin = filter->GetFirstCapturePin();
  device.renderPin = filter->GetFirstRenderPin();
  device.captureChannels = filter->GetCaptureChannelCount();
  device.renderChannels = filter->GetRenderChannelCount();
  device.listedInputs = c.channels;
  device.listedOutputs = c.channels;
  const std::vector<qavasio::StreamDevice> devices = {device};
  HostChannels inputs(c.channels, c.frames), outputs(c.channels, c.frames);
  {
    figures.sets = qavasio::RequestSetCount(filter->GetFramesPerPacket(), c.frames);
    std::vector<std::unique_ptr<qavasio::CRequestSet>> sets;
    for (uint32_t k = 0; k < figures.sets; ++k) {
      sets.emplace_back(new qavasio::CRequestSet());
      sets.back()->Build(devices, c.frames);
    }
    filter->SetPinsState(KSSTATE_ACQUIRE);
    filter->SetPinsState(KSSTATE_PAUSE);
    for (auto &set : sets) set->Submit();
    filter->SetPinsState(KSSTATE_RUN);
    std::vector<double> samples;
    samples.reserve(kCycles);
    for (uint32_t n = 0; n < kCycles; ++n) {
      qavasio::CRequestSet &set = *sets[n % figures.sets];
      if (WaitForMultipleObjects(set.EventCount(), set.Events(), TRUE, 2000) >= WAIT_OBJECT_0 + set.EventCount()) break;
      const uint64_t start = ThreadCpuNs();
      set.Completed();
      qavasio::CopyInput(inputs.halves.data(), c.channels, set.Inputs(), set.DeviceCount(), c.frames);
      qavasio::CopyOutput(outputs.halves.data(), c.channels, set.Outputs(), set.DeviceCount(), c.frames);
      const HRESULT submitted = set.Submit();
      samples.push_back(static_cast<double>(ThreadCpuNs() - start));
      if (FAILED(submitted)) break;
    }
    filter->SetPinsState(KSSTATE_PAUSE);
    filter->SetPinsState(KSSTATE_ACQUIRE);
    filter->SetPinsState(KSSTATE_STOP);
    filter->CancelPinIo();
    for (auto &set : sets) set->WaitPending(2000);
    figures.median = Percentile(samples, 0.5);
    figures.p90 = Percentile(samples, 0.9);
  }
  filter->ClosePins();
  return figures;
}

// The streaming thread's CPU time between two buffer switches, read in the
// host's callback on that thread.
struct SwitchClock {
  std::vector<double> samples;
  uint64_t lastExit = 0;
};
SwitchClock *g_clock = nullptr;

void BufferSwitch(LONG, ASIOBool) {
  const uint64_t entry = ThreadCpuNs();
  if (g_clock->lastExit != 0 && g_clock->samples.size() < g_clock->samples.capacity()) {
    g_clock->samples.push_back(static_cast<double>(entry - g_clock->lastExit));
  }
  g_clock->lastExit = ThreadCpuNs();
}
void RateChanged(ASIOSampleRate) {}
LONG Message(LONG, LONG, void *, double *) { return 0; }

CycleFigures MeasureThread(const Case &c) {
  BenchMachine bench(c.channels);
  CycleFigures figures;
  HRESULT hr = S_OK;
  CUnknown *object = QZUsb2Asio::CreateInstance(nullptr, &hr);
  if (object == nullptr) return figures;
  object->NonDelegatingAddRef();
  auto *asio = static_cast<QZUsb2Asio *>(object);
  SwitchClock clock;
  clock.samples.reserve(kCycles);
  g_clock = &clock;
  ASIOCallbacks callbacks = {BufferSwitch, RateChanged, Message, nullptr};
  std::vector<ASIOBufferInfo> infos;
  for (LONG ch = 0; ch < static_cast<LONG>(c.channels); ++ch) {
    infos.push_back({ASIOTrue, ch, {nullptr, nullptr}});
    infos.push_back({ASIOFalse, ch, {nullptr, nullptr}});
  }
  if (asio->init(nullptr) == ASIOTrue && asio->setSampleRate(48000) == ASE_OK &&
      asio->createBuffers(infos.data(), static_cast<LONG>(infos.size()), static_cast<LONG>(c.frames), &callbacks) ==
          ASE_OK &&
      asio->start() == ASE_OK) {
    // Enough virtual time for kCycles switches and a margin.
    Sleep(static_cast<DWORD>(uint64_t{kCycles} * c.frames * 1000 / 48000 + 200));
    asio->stop();
    figures.median = Percentile(clock.samples, 0.5);
    figures.p90 = Percentile(clock.samples, 0.9);
    figures.sets = static_cast<uint32_t>(clock.samples.size());
  }
  asio->disposeBuffers();
  object->NonDelegatingRelease();
  g_clock = nullptr;
  return figures;
}

void CycleTable() {
  std::printf("\n## One cycle on the host build (48 kHz, thread CPU time, ns)\n\n");
  std::printf("| channels | frames | sets in flight | copies + submission median | p90 | "
              "streaming thread per switch median | p90 | switches timed |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Case &c : kCases) {
    const CycleFigures cycle = MeasureCycle(c);
    const CycleFigures thread = MeasureThread(c);
    std::printf("| %u | %u | %u | %.0f | %.0f | %.0f | %.0f | %u |\n", c.channels, c.frames, cycle.sets, cycle.median,
                cycle.p90, thread.median, thread.p90, thread.sets);
  }
}

}  // namespace

int main(int argc, char **argv) {
  CopyTable();
  if (argc > 1 && std::strcmp(argv[1], "--copies") == 0) return 0;
  CycleTable();
  return 0;
}
