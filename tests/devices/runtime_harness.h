// The host side of the device runtime tests: a Machine with a host
// controller and one simulated interface plugged in, control requests run to
// completion, and isochronous streams kept in flight the way a driver keeps
// them (a few transfers queued ASAP, each resubmitted from its completion).
#pragma once
#include <gtest/gtest.h>
#include <usb.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/machine.h"
#include "winsim/usb/host_controller.h"

namespace runtime_test {

using namespace winsim;
using namespace winsim::devices;
using winsim::usb::Handshake;
using winsim::usb::HostController;
using winsim::usb::IsoPacket;
using winsim::usb::SetupPacket;
using winsim::usb::Transfer;
using winsim::usb::TransferKind;

inline constexpr uint32_t kFrameBase = 0x2000;
inline constexpr uint8_t kClassGet = 0xA1;
inline constexpr uint8_t kClassSet = 0x21;
inline constexpr uint8_t kCur = 0x01;
inline constexpr uint8_t kRange = 0x02;
inline constexpr uint8_t kSamFreq = 0x01;
inline constexpr uint8_t kClockValid = 0x02;

inline DeviceDefinition Built(const DeviceModel &model) {
  BuildResult result = BuildDevice(model);
  EXPECT_TRUE(result.Ok()) << model.name << ": " << result.detail;
  return std::move(result.definition);
}

inline DeviceModel WithDrift(const char *name, int32_t ppm) {
  DeviceModel model = *FindModel(name);
  model.behaviour.clockDriftPpm = ppm;
  return model;
}

struct ControlResult {
  bool completed = false;
  int32_t status = 0;
  std::vector<uint8_t> data;  // what an IN request returned
};

// Samples of a little-endian packet, left-justified as the device holds them.
inline int32_t SampleAt(const uint8_t *bytes, uint32_t subslot) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < subslot; ++i) word |= uint32_t{bytes[i]} << (8 * (4 - subslot + i));
  return static_cast<int32_t>(word);
}

inline void PutSample(int32_t value, uint8_t *bytes, uint32_t subslot) {
  for (uint32_t i = 0; i < subslot; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * (4 - subslot + i)));
}

class Bench {
 public:
  explicit Bench(const DeviceModel &model) : Bench(Built(model)) {}
  explicit Bench(DeviceDefinition definition)
      : device(std::make_shared<AudioDevice>(std::move(definition))) {
    hc.SetSofOffsetPpm(0);  // the device's clock counted on the system clock's microframes
    hc.Start(machine.Threads());
    port = hc.Attach(device);
  }
  ~Bench() { hc.Stop(); }

  // Submits a control transfer and runs until it completes; one that the
  // device leaves pending for a second is cancelled, as a driver's time-out does.
  ControlResult Control(SetupPacket setup, std::vector<uint8_t> out = {}) {
    std::vector<uint8_t> buffer = out;
    buffer.resize(std::max<size_t>(setup.wLength, 1));
    std::atomic<bool> done{false};
    Transfer transfer;
    transfer.kind = TransferKind::Control;
    transfer.setup = setup;
    transfer.buffer = buffer.data();
    transfer.length = setup.wLength;
    transfer.onComplete = [&](Transfer &) { done = true; };
    ControlResult result;
    const int32_t submitted = hc.Submit(port, &transfer);
    if (submitted != USBD_STATUS_PENDING) {
      result.status = submitted;
      return result;
    }
    result.completed = machine.RunUntil([&] { return done.load(); }, kTicksPerSecond);
    if (!result.completed) hc.Cancel(&transfer);
    machine.RunUntil([&] { return done.load(); }, kTicksPerSecond);
    result.status = transfer.status;
    if (setup.bmRequestType & 0x80) result.data.assign(buffer.begin(), buffer.begin() + transfer.actualLength);
    return result;
  }

  ControlResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length) {
    return Control({0x80, 0x06, static_cast<uint16_t>(type << 8 | index), language, length});
  }
  int32_t SetConfiguration(uint8_t value) { return Control({0x00, 0x09, value, 0, 0}).status; }
  int32_t SetInterface(uint8_t interface, uint8_t alternate) {
    return Control({0x01, 0x0B, alternate, interface, 0}).status;
  }
  ControlResult ClassGet(uint8_t request, uint8_t entity, uint8_t selector, uint16_t length, uint8_t channel = 0) {
    return Control({kClassGet, request, static_cast<uint16_t>(selector << 8 | channel), static_cast<uint16_t>(entity << 8),
                    length});
  }
  int32_t ClassSet(uint8_t entity, uint8_t selector, std::vector<uint8_t> value, uint8_t channel = 0) {
    const auto length = static_cast<uint16_t>(value.size());
    return Control({kClassSet, kCur, static_cast<uint16_t>(selector << 8 | channel), static_cast<uint16_t>(entity << 8),
                    length},
                   std::move(value))
        .status;
  }
  int32_t SetRate(uint8_t clock, uint32_t rate) {
    return ClassSet(clock, kSamFreq,
                    {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16),
                     static_cast<uint8_t>(rate >> 24)});
  }

  // A bulk or interrupt transfer that the caller runs and reads.
  struct Pending {
    std::vector<uint8_t> buffer;
    Transfer transfer;
    std::atomic<bool> done{false};
  };
  std::unique_ptr<Pending> SubmitBulk(TransferKind kind, uint8_t endpoint, std::vector<uint8_t> bytes) {
    auto pending = std::make_unique<Pending>();
    pending->buffer = std::move(bytes);
    pending->transfer.kind = kind;
    pending->transfer.endpoint = endpoint;
    pending->transfer.buffer = pending->buffer.data();
    pending->transfer.length = static_cast<uint32_t>(pending->buffer.size());
    Pending *raw = pending.get();
    pending->transfer.onComplete = [raw](Transfer &) { raw->done = true; };
    EXPECT_EQ(hc.Submit(port, &pending->transfer), USBD_STATUS_PENDING);
    return pending;
  }
  bool Wait(Pending &pending, VTime timeout = kTicksPerSecond) {
    return machine.RunUntil([&] { return pending.done.load(); }, timeout);
  }

  Machine machine;
  HostController hc{1, kFrameBase};
  std::shared_ptr<AudioDevice> device;
  int port = 0;
};

// Keeps `depth` isochronous transfers of `frames` 1 ms frames in flight on
// one endpoint. OUT packets are written by `fill` (returns the bytes it
// wrote, at most the room) when a transfer is (re)submitted; IN packets are
// handed to `take` in order when a transfer completes. Both run on the test
// thread for the first submissions and on the completion context after.
class IsoPump {
 public:
  using Fill = std::function<uint32_t(uint8_t *packet, uint32_t room)>;
  using Take = std::function<void(const uint8_t *packet, uint32_t length, int32_t status)>;

  struct Options {
    uint8_t endpoint = 0;
    uint32_t maxPacket = 0;              // room per packet (and the transfer's maxPacket)
    uint32_t packetsPerFrame = 8;        // 8 at high speed with one packet per microframe, 1 at full speed
    uint32_t intervalMicroframes = 1;
    uint32_t frames = 1;                 // per transfer
    uint32_t depth = 4;                  // transfers in flight
    uint64_t transferLimit = UINT64_MAX; // stop resubmitting after this many submissions
  };

  IsoPump(Bench &bench, Options options, Fill fill = {}, Take take = {})
      : m_bench(bench), m_options(options), m_fill(std::move(fill)), m_take(std::move(take)) {
    for (uint32_t i = 0; i < options.depth; ++i) m_slots.push_back(std::make_unique<Slot>(options));
  }
  ~IsoPump() { Stop(); }

  void Start() {
    for (auto &slot : m_slots) Send(*slot);
  }

  // Ends resubmission and waits for the transfers in flight.
  void Stop() {
    m_stopping = true;
    m_bench.machine.RunUntil([&] { return m_outstanding.load() == 0; }, 10 * kTicksPerSecond);
  }

  // Runs until every allowed transfer has completed.
  bool RunToLimit(VTime timeout) {
    return m_bench.machine.RunUntil([&] { return m_outstanding.load() == 0; }, timeout);
  }

  uint64_t Completed() const { return m_completed.load(); }
  uint32_t FirstStartFrame() const { return m_firstStartFrame.load(); }
  int32_t LastTransferStatus() const { return m_lastStatus.load(); }

 private:
  struct Slot {
    explicit Slot(const Options &o)
        : buffer(size_t{o.frames} * o.packetsPerFrame * o.maxPacket), packets(size_t{o.frames} * o.packetsPerFrame) {
      transfer.kind = TransferKind::Isochronous;
      transfer.endpoint = o.endpoint;
      transfer.buffer = buffer.data();
      transfer.maxPacket = o.maxPacket;
      transfer.intervalMicroframes = o.intervalMicroframes;
      transfer.packets = packets.data();
      transfer.packetCount = static_cast<uint32_t>(packets.size());
      transfer.asap = true;
    }
    std::vector<uint8_t> buffer;
    std::vector<IsoPacket> packets;
    Transfer transfer;
  };

  void Prepare(Slot &slot) {
    const bool in = (m_options.endpoint & 0x80) != 0;
    uint32_t offset = 0;
    for (IsoPacket &packet : slot.packets) {
      packet.offset = offset;
      packet.length = in ? 0 : m_fill(slot.buffer.data() + offset, m_options.maxPacket);
      offset += in ? m_options.maxPacket : packet.length;
    }
    slot.transfer.length = offset;
  }

  void Send(Slot &slot) {
    if (m_stopping || m_submitted >= m_options.transferLimit) return;
    ++m_submitted;
    Prepare(slot);
    slot.transfer.onComplete = [this, &slot](Transfer &t) { Completed(slot, t); };
    ++m_outstanding;
    const int32_t status = m_bench.hc.Submit(m_bench.port, &slot.transfer);
    if (status != USBD_STATUS_PENDING) {
      ADD_FAILURE() << "iso submit failed: " << std::hex << status;
      --m_outstanding;
      return;
    }
    uint32_t none = 0;
    m_firstStartFrame.compare_exchange_strong(none, slot.transfer.startFrame);
  }

  void Completed(Slot &slot, Transfer &transfer) {
    m_lastStatus = transfer.status;
    if (m_take) {
      for (const IsoPacket &packet : slot.packets) {
        m_take(slot.buffer.data() + packet.offset, packet.length, packet.status);
      }
    }
    ++m_completed;
    Send(slot);
    --m_outstanding;
  }

  Bench &m_bench;
  const Options m_options;
  Fill m_fill;
  Take m_take;
  std::vector<std::unique_ptr<Slot>> m_slots;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_outstanding{0};
  std::atomic<uint64_t> m_completed{0};
  std::atomic<uint32_t> m_firstStartFrame{0};
  std::atomic<int32_t> m_lastStatus{0};
  std::atomic<uint64_t> m_submitted{0};
};

// Frames per IN packet of a capture stream, collected from an IsoPump.
struct CaptureLog {
  uint32_t bytesPerFrame = 0;
  uint32_t subslot = 0;
  std::vector<uint32_t> framesPerPacket;
  std::vector<int32_t> samples;  // decoded, interleaved
  std::vector<int32_t> statuses;

  IsoPump::Take Taker() {
    return [this](const uint8_t *packet, uint32_t length, int32_t status) {
      statuses.push_back(status);
      framesPerPacket.push_back(length / bytesPerFrame);
      for (uint32_t at = 0; at + subslot <= length; at += subslot) samples.push_back(SampleAt(packet + at, subslot));
    };
  }
  uint64_t TotalFrames() const {
    uint64_t total = 0;
    for (uint32_t frames : framesPerPacket) total += frames;
    return total;
  }
};

}  // namespace runtime_test
