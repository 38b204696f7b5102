// The sweep of `qav asio loopback`: for every rate, mode and buffer size
// the host creates buffers, starts the driver, plays an impulse train on
// output 1 and finds it again on input 1, and reads what the driver reports
// and what the device counted.
#include <algorithm>
#include <cstdio>

#include "winsim/devices/audio_device.h"
//
#include "tools/qav/asio_host.h"
#include "tools/qav/asio_loopback.h"
#include "tools/qav/command_args.h"
#include "tools/qav/host_asio.h"
#include "tools/qav/qav_device.h"
#include "uac2common/asiodriver/asio_latency.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

// Impulses start once the first buffers are under way and come every
// 2048 frames; a row runs long enough for at least three to come back.
constexpr uint64_t kFirstImpulse = 2048;
constexpr uint32_t kSpacing = 2048;
constexpr uint32_t kNeededEchoes = 3;

// The longest round trip an echo may take: four buffers, 40 ms of USB
// transfers (three 5 ms transfers in flight each way and their scheduling)
// and 2048 frames of device FIFO and converters. Longer counts as lost.
uint64_t LongestTrip(uint32_t rate, uint32_t buffer) { return 4 * uint64_t{buffer} + uint64_t{rate} * 40 / 1000 + 2048; }

struct DeviceCounts {
  uint64_t underruns = 0, overruns = 0;
};

DeviceCounts Counts(const winsim::devices::AudioDevice &device) {
  const winsim::devices::RenderStats render = device.Render();
  return {render.underrunEvents, render.overrunEvents + device.Capture().overflows};
}

// The driver set up for the sweep: init, every channel's buffers on request.
class CSweepHost {
 public:
  CSweepHost(IASIO *driver, const AsioBench &bench) : m_driver(driver), m_bench(bench) {}

  bool Init(std::string *error) {
    if (m_driver->init(nullptr) != ASIOTrue) {
      *error = "the ASIO driver's init failed: it found no device";
      return false;
    }
    LONG inputs = 0, outputs = 0;
    if (m_driver->getChannels(&inputs, &outputs) != ASE_OK || inputs < 1 || outputs < 1) {
      *error = "the interface needs an input and an output for a loopback (it has " + std::to_string(inputs) +
               " and " + std::to_string(outputs) + ")";
      return false;
    }
    m_inputs = static_cast<uint32_t>(inputs);
    m_outputs = static_cast<uint32_t>(outputs);
    return true;
  }

  LoopbackRow Run(uint32_t rate, uint32_t urbSize, uint32_t buffer, uint32_t milliseconds);
  CAsioHost &Host() { return m_host; }

 private:
  void Measure(LoopbackRow *row, uint32_t milliseconds);

  IASIO *m_driver;
  const AsioBench &m_bench;
  CAsioHost m_host;
  uint32_t m_inputs = 0, m_outputs = 0;
};

LoopbackRow CSweepHost::Run(uint32_t rate, uint32_t urbSize, uint32_t buffer, uint32_t milliseconds) {
  LoopbackRow row;
  row.rate = rate;
  row.urbSize = urbSize;
  row.buffer = buffer;
  const uint32_t offset = qavasio::ModelOffset(m_bench.vendorId, m_bench.productId);
  row.design = static_cast<int64_t>(2 * buffer + qavasio::TotalLatency(rate, 0, urbSize, offset));
  std::vector<ASIOBufferInfo> infos;
  for (uint32_t c = 0; c < m_inputs; ++c) infos.push_back({ASIOTrue, static_cast<LONG>(c), {nullptr, nullptr}});
  for (uint32_t c = 0; c < m_outputs; ++c) infos.push_back({ASIOFalse, static_cast<LONG>(c), {nullptr, nullptr}});
  const ASIOError created =
      m_driver->createBuffers(infos.data(), static_cast<LONG>(infos.size()), static_cast<LONG>(buffer), m_host.Callbacks());
  if (created != ASE_OK) {
    row.problem = "createBuffers failed (" + std::to_string(created) + ")";
    return row;
  }
  LONG in = 0, out = 0;
  m_driver->getLatencies(&in, &out);
  row.reportedInput = in;
  row.reportedOutput = out;
  const int32_t *input = static_cast<const int32_t *>(infos[0].buffers[0]);
  int32_t *output = static_cast<int32_t *>(infos[m_inputs].buffers[0]);

  const uint64_t longest = LongestTrip(rate, buffer);
  const uint64_t frames = std::max(uint64_t{rate} * milliseconds / 1000,
                                   kFirstImpulse + (kNeededEchoes - 1) * kSpacing + longest + buffer);
  const uint64_t room = frames - kFirstImpulse - longest;
  const CImpulseTrain train(kFirstImpulse, kSpacing, static_cast<uint32_t>(room / kSpacing + 1));
  std::vector<int32_t> heard(frames / buffer * buffer, 0);
  // On the streaming thread: keep what input 1 brought, write the next
  // block of the train; the samples heard are indexed like those written.
  m_host.onSwitch = [&](uint32_t number) {
    const uint64_t base = uint64_t{number} * buffer;
    if (base + buffer > heard.size()) return;
    for (uint32_t j = 0; j < buffer; ++j) {
      heard[base + j] = input[j];
      output[j] = train.Sample(base + j);
    }
  };
  m_host.Reset();
  const DeviceCounts before = Counts(*m_bench.device);
  if (m_driver->start() != ASE_OK) {
    row.problem = "start failed";
  } else {
    const uint32_t switches = static_cast<uint32_t>(heard.size() / buffer) + 1;
    if (!m_host.WaitForSwitches(switches, milliseconds + 3000)) row.problem = "buffer switches stopped";
    const DeviceCounts after = Counts(*m_bench.device);
    m_driver->stop();
    row.underruns = after.underruns - before.underruns;
    row.overruns = after.overruns - before.overruns;
  }
  row.switches = m_host.Switches();
  row.overloads = m_host.Overloads();
  m_host.onSwitch = nullptr;
  m_driver->disposeBuffers();
  if (row.problem.empty()) {
    const EchoFinding finding = FindEchoes(train, heard, longest, kNeededEchoes);
    row.found = finding.problem.empty();
    row.measured = finding.delay;
    row.problem = finding.problem;
  }
  return row;
}

// Sets the mode as `qav mode` does; an empty string when the driver took it.
std::string SetMode(CQavDevice &device, uint32_t urbSize) {
  if (SUCCEEDED(device.SetU32(KSPROPERTY_UAC_URB_SIZE, urbSize))) return {};
  ULONG minimum = 0;
  device.GetU32(KSPROPERTY_UAC_MIN_URB_SIZE, &minimum);
  return "the driver refused " + ModeName(urbSize) + " mode (it takes " + std::to_string(minimum) + " ms and more)";
}

void Progress(const LoopbackPlan &plan, const LoopbackRow &row, size_t done, size_t total) {
  if (!plan.progress) return;
  std::fprintf(stderr, "qav: [%zu/%zu] %u Hz %s %u: %s\n", done, total, row.rate, ModeName(row.urbSize).c_str(),
               row.buffer, row.found ? (std::to_string(row.measured) + " samples").c_str() : row.problem.c_str());
}

}  // namespace

bool RunLoopbackSweep(const AsioBench &bench, const LoopbackPlan &plan, std::vector<LoopbackRow> *rows,
                      std::string *error) {
  const std::vector<AsioDriverEntry> drivers = FindAsioDrivers();
  const AsioDriverEntry *entry = ChooseAsioDriver(drivers, kAsioDriverName);
  if (entry == nullptr) {
    *error = "no ASIO driver is registered";
    return false;
  }
  CAsioDriver driver;
  if (!driver.Create(*entry, error)) return false;
  CSweepHost host(driver.Get(), bench);
  if (!host.Init(error)) return false;
  CQavDevice device;
  if (!device.Open(error)) return false;
  ULONG userMode = 0;
  device.GetU32(KSPROPERTY_UAC_URB_SIZE, &userMode);
  ASIOSampleRate userRate = 0;
  driver->getSampleRate(&userRate);

  const size_t total = plan.rates.size() * plan.urbSizes.size() * plan.buffers.size();
  for (uint32_t rate : plan.rates) {
    const bool rateTaken = driver->setSampleRate(rate) == ASE_OK;
    for (uint32_t urbSize : plan.urbSizes) {
      const std::string refused = rateTaken ? SetMode(device, urbSize) : "the driver does not take this rate";
      for (uint32_t buffer : plan.buffers) {
        LoopbackRow row;
        if (refused.empty()) {
          row = host.Run(rate, urbSize, buffer, plan.milliseconds);
        } else {
          row.rate = rate;
          row.urbSize = urbSize;
          row.buffer = buffer;
          row.problem = refused;
        }
        rows->push_back(row);
        Progress(plan, row, rows->size(), total);
      }
    }
  }
  if (userMode != 0) device.SetU32(KSPROPERTY_UAC_URB_SIZE, userMode);
  if (userRate > 0) driver->setSampleRate(userRate);
  return true;
}

}  // namespace qav
