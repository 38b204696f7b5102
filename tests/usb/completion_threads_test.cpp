// The host controller's completion threads in the machine's parallel mode:
// a device's IN and OUT endpoints complete on two threads at once, as
// completion DPCs of two processors do, while each endpoint's transfers
// still complete in order on one thread. Also the scheduling threshold as a
// machine option and the CPU time each completion costs.
#include <gtest/gtest.h>
#include <usb.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/usb/host_controller.h"

using namespace winsim;
using namespace winsim::usb;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;
constexpr uint32_t kPacketBytes = 16;

class IsoDevice : public UsbFunction {
 public:
  BusSpeed Speed() const override { return BusSpeed::High; }
  std::string Label() const override { return "iso"; }
  TransferOutcome Control(const SetupPacket &, uint8_t *, VTime) override { return {Handshake::Ack, 0}; }
  TransferOutcome IsoOut(uint8_t, uint64_t, const uint8_t *, uint32_t length) override {
    return {Handshake::Ack, length};
  }
  TransferOutcome IsoIn(uint8_t, uint64_t, uint8_t *, uint32_t capacity) override { return {Handshake::Ack, capacity}; }
  TransferOutcome BulkOrInterruptIn(uint8_t, VTime, uint8_t *, uint32_t) override { return {Handshake::Nak, 0}; }
  TransferOutcome BulkOrInterruptOut(uint8_t, VTime, const uint8_t *, uint32_t length) override {
    return {Handshake::Ack, length};
  }
  void BusReset(VTime) override {}
};

// One frame of one packet per microframe.
struct OneFrame {
  explicit OneFrame(uint8_t endpoint) : buffer(8 * kPacketBytes), packets(8) {
    transfer.kind = TransferKind::Isochronous;
    transfer.endpoint = endpoint;
    transfer.buffer = buffer.data();
    transfer.length = static_cast<uint32_t>(buffer.size());
    transfer.maxPacket = kPacketBytes;
    transfer.packets = packets.data();
    transfer.packetCount = 8;
    for (uint32_t i = 0; i < 8; ++i) packets[i] = {i * kPacketBytes, 0, 0};
  }
  std::vector<uint8_t> buffer;
  std::vector<IsoPacket> packets;
  Transfer transfer;
};

MachineOptions Options(bool parallel) {
  MachineOptions options;
  if (parallel) options.parallel = ParallelOptions{.seed = 3};
  return options;
}

class CompletionThreads : public ::testing::TestWithParam<bool> {
 protected:
  CompletionThreads() : machine(Options(GetParam())), controller(1, 0x2000) {
    controller.Start(machine.Threads());
    port = controller.Attach(device);
  }
  ~CompletionThreads() override { controller.Stop(); }

  Machine machine;
  HostController controller;
  std::shared_ptr<IsoDevice> device = std::make_shared<IsoDevice>();
  int port = 0;
};

// The deliberately wrong completion routine: the capture and render
// completions of one frame update shared state without a lock, assuming
// they never run at once. They do on two completion threads.
TEST_P(CompletionThreads, TheInAndOutCompletionsOfOneFrameRunAtOnceOnlyInParallelMode) {
  OneFrame out(0x01), in(0x81);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> done{0};
  auto routine = [&](Transfer &) {
    if (++inside == 2) overlapped = true;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!overlapped.load() && std::chrono::steady_clock::now() < until) {
    }
    --inside;
    ++done;
  };
  out.transfer.onComplete = routine;
  in.transfer.onComplete = routine;
  const uint32_t start = controller.CurrentFrame() + 2;
  out.transfer.startFrame = in.transfer.startFrame = start;
  ASSERT_EQ(controller.Submit(port, &out.transfer), USBD_STATUS_PENDING);
  ASSERT_EQ(controller.Submit(port, &in.transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return done.load() == 2; }, 100 * kMs);
  EXPECT_EQ(done.load(), 2);
  EXPECT_EQ(overlapped.load(), GetParam());
  EXPECT_EQ(machine.DispatchCpuTime(DispatchWork::UrbCompletion).count, 2u);
}

// Twenty one-frame transfers per endpoint, submitted back to back: each
// endpoint's come back in submission order and always on the same thread;
// with two threads, IN and OUT use different ones.
TEST_P(CompletionThreads, EachEndpointCompletesInOrderOnOneThread) {
  constexpr int kCount = 20;
  std::vector<std::unique_ptr<OneFrame>> transfers;
  std::mutex lock;
  std::map<uint8_t, std::vector<int>> order;
  std::map<uint8_t, std::set<std::string>> threads;
  std::atomic<int> done{0};
  for (uint8_t endpoint : {uint8_t{0x01}, uint8_t{0x81}}) {
    for (int i = 0; i < kCount; ++i) {
      transfers.push_back(std::make_unique<OneFrame>(endpoint));
      Transfer &t = transfers.back()->transfer;
      t.asap = true;
      t.onComplete = [&, endpoint, i](Transfer &) {
        std::lock_guard<std::mutex> guard(lock);
        order[endpoint].push_back(i);
        threads[endpoint].insert(Scheduler::Current()->Name());
        ++done;
      };
    }
  }
  for (auto &transfer : transfers) ASSERT_EQ(controller.Submit(port, &transfer->transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return done.load() == 2 * kCount; }, 1000 * kMs);
  std::vector<int> expected(kCount);
  for (int i = 0; i < kCount; ++i) expected[i] = i;
  EXPECT_EQ(order[0x01], expected);
  EXPECT_EQ(order[0x81], expected);
  ASSERT_EQ(threads[0x01].size(), 1u);
  ASSERT_EQ(threads[0x81].size(), 1u);
  EXPECT_EQ(*threads[0x01].begin() != *threads[0x81].begin(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modes, CompletionThreads, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Parallel" : "Serial"; });

// An xHCI controller's scheduling threshold, set for every bus as a machine
// option: a start frame closer than that is not served (its packets are
// late, the transfer fails with a bad start frame).
TEST(SchedulingThreshold, TheMachineOptionSetsEveryBussThresholdAndNearerStartFramesAreNotServed) {
  MachineOptions options;
  options.usbSchedulingThreshold = 3;
  Machine machine(options);
  for (UsbBus *bus : machine.Buses()) EXPECT_EQ(bus->Controller().SchedulingThreshold(), 3u);
  HostController &controller = machine.Bus(1)->Controller();
  const int port = controller.Attach(std::make_shared<IsoDevice>());
  machine.RunFor(5 * kMs);
  std::atomic<int> done{0};
  struct Case {
    uint32_t ahead;
    int32_t expected;
  };
  const Case cases[] = {Case{2, USBD_STATUS_BAD_START_FRAME}, Case{3, USBD_STATUS_SUCCESS}};
  std::vector<std::unique_ptr<OneFrame>> transfers;
  for (const Case &c : cases) {
    transfers.push_back(std::make_unique<OneFrame>(0x01));
    Transfer &t = transfers.back()->transfer;
    t.onComplete = [&](Transfer &) { ++done; };
    t.startFrame = controller.CurrentFrame() + c.ahead;
    EXPECT_EQ(controller.Submit(port, &t), USBD_STATUS_PENDING) << c.ahead << " frames ahead";
  }
  machine.RunUntil([&] { return done.load() == 2; }, 100 * kMs);
  ASSERT_EQ(done.load(), 2);
  for (size_t i = 0; i < transfers.size(); ++i) {
    EXPECT_EQ(transfers[i]->transfer.status, cases[i].expected) << cases[i].ahead << " frames ahead";
  }
  controller.Detach(port);
}

}  // namespace
