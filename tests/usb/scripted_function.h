// A bare device on a HostController of its own, for the controller's timing
// and status tests: it records the bytes of every OUT packet and when each
// control request reached it, and answers as the test sets.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "winsim/machine.h"
#include "winsim/usb/host_controller.h"

namespace usbtest {

class ScriptedFunction : public winsim::usb::UsbFunction {
 public:
  using Handshake = winsim::usb::Handshake;
  using TransferOutcome = winsim::usb::TransferOutcome;
  using VTime = winsim::usb::VTime;

  winsim::usb::BusSpeed Speed() const override { return speed; }
  std::string Label() const override { return "scripted"; }
  TransferOutcome Control(const winsim::usb::SetupPacket &setup, uint8_t *, VTime now) override {
    controlSeenAt.push_back(now);
    lastRequest = setup;
    return {controlAnswer, 0, 0};
  }
  TransferOutcome IsoOut(uint8_t, uint64_t microframe, const uint8_t *data, uint32_t length) override {
    outBytes[microframe] = std::vector<uint8_t>(data, data + length);
    return {isoAnswer, length, 0};
  }
  TransferOutcome IsoIn(uint8_t, uint64_t, uint8_t *buffer, uint32_t capacity) override {
    for (uint32_t i = 0; i < capacity; ++i) buffer[i] = 0x5C;
    return {isoAnswer, capacity, 0};
  }
  TransferOutcome BulkOrInterruptIn(uint8_t, VTime, uint8_t *, uint32_t) override { return {Handshake::Nak, 0, 0}; }
  TransferOutcome BulkOrInterruptOut(uint8_t, VTime, const uint8_t *, uint32_t length) override {
    return {Handshake::Ack, length, 0};
  }
  void BusReset(VTime) override {}

  winsim::usb::BusSpeed speed = winsim::usb::BusSpeed::High;
  Handshake isoAnswer = Handshake::Ack;
  Handshake controlAnswer = Handshake::Ack;
  std::map<uint64_t, std::vector<uint8_t>> outBytes;  // by microframe
  std::vector<VTime> controlSeenAt;
  winsim::usb::SetupPacket lastRequest{};
};

// An isochronous transfer of whole frames, one packet a microframe, with its
// completion recorded.
struct FramesTransfer {
  FramesTransfer(uint8_t endpoint, uint32_t frames, uint32_t packetBytes, uint8_t fill = 0)
      : buffer(frames * 8 * packetBytes, fill), packets(frames * 8) {
    transfer.kind = winsim::usb::TransferKind::Isochronous;
    transfer.endpoint = endpoint;
    transfer.buffer = buffer.data();
    transfer.length = static_cast<uint32_t>(buffer.size());
    transfer.maxPacket = packetBytes;
    transfer.packets = packets.data();
    transfer.packetCount = static_cast<uint32_t>(packets.size());
    for (uint32_t i = 0; i < packets.size(); ++i) packets[i] = {i * packetBytes, 0, 0};
    transfer.onComplete = [this](winsim::usb::Transfer &t) {
      status = t.status;
      completedAt = winsim::Scheduler::Active()->Now();
      ++completions;
    };
  }
  std::vector<uint8_t> buffer;
  std::vector<winsim::usb::IsoPacket> packets;
  winsim::usb::Transfer transfer;
  int32_t status = 0;
  winsim::usb::VTime completedAt = -1;
  int completions = 0;
};

// A control transfer with no data stage and its completion recorded.
struct ControlRequest {
  explicit ControlRequest(winsim::usb::SetupPacket setup) {
    transfer.kind = winsim::usb::TransferKind::Control;
    transfer.setup = setup;
    transfer.onComplete = [this](winsim::usb::Transfer &t) {
      status = t.status;
      completedAt = winsim::Scheduler::Active()->Now();
      ++completions;
    };
  }
  winsim::usb::Transfer transfer;
  int32_t status = 0;
  winsim::usb::VTime completedAt = -1;
  int completions = 0;
};

class ScriptedControllerTest : public ::testing::Test {
 protected:
  ScriptedControllerTest() : controller(1, 0x2000) {
    controller.SetSofOffsetPpm(0);  // frames on the system clock's millisecond
    controller.Start(machine.Threads());
    port = controller.Attach(device);
  }
  ~ScriptedControllerTest() override { controller.Stop(); }

  winsim::Machine machine;
  winsim::usb::HostController controller;
  std::shared_ptr<ScriptedFunction> device = std::make_shared<ScriptedFunction>();
  int port = 0;
};

}  // namespace usbtest
