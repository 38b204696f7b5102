// The driver's MIDI ports on simulated interfaces: which pins the cables
// get, how far the driver trusts the class-specific endpoint descriptor,
// what the device's IN endpoint delivers to the pins of each cable, what
// reaches the device from a cable's writes, and reading across power.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/midi/midi_pin.h"
#include "kerneldriver/midi/midi_pin_dispatch.h"
#include "kerneldriver/midi/midi_port.h"
#include "tests/kerneldriver/start/driver_harness.h"

namespace dstest {
namespace {

using Bytes = std::vector<uint8_t>;
using winsim::devices::MidiPacket;
constexpr winsim::VTime kMs = winsim::kTicksPerSecond / 1000;

class MidiPortTest : public DriverStartTest {
 protected:
  void TearDown() override {
    for (auto &[cable, pin] : m_pins) {
      UsbMidiCableDetachPin(cable, pin);
      UsbMidiPinFree(pin);
    }
    m_pins.clear();
    DriverStartTest::TearDown();
  }

  UsbMidiPort *Port(bool in) {
    for (ULONG i = 0; i < Ctx().midiPortCount; ++i) {
      if (Ctx().midiPorts[i]->in == in) return Ctx().midiPorts[i];
    }
    return nullptr;
  }

  // A capture pin context attached to cable `number` of the IN port.
  UsbMidiPin *Listen(ULONG number) {
    UsbMidiCable *cable = Port(true)->cableByNumber[number];
    UsbMidiPin *pin = UsbMidiPinCreate(nullptr, cable);
    EXPECT_TRUE(UsbMidiCableAttachPin(cable, pin));
    m_pins.push_back({cable, pin});
    return pin;
  }

  static std::vector<Bytes> Received(UsbMidiPin *pin) {
    std::vector<Bytes> messages;
    for (MidiCaptureEntry *e = UsbMidiPinTakeEntry(pin); e != nullptr; e = UsbMidiPinTakeEntry(pin)) {
      messages.emplace_back(e->bytes, e->bytes + e->length);
      UsbMidiPinFreeEntry(pin, e);
    }
    return messages;
  }

  void Inject(std::initializer_list<MidiPacket> packets) {
    device->InjectMidi(std::vector<MidiPacket>(packets));
    machine.RunFor(20 * kMs);
  }

 private:
  std::vector<std::pair<UsbMidiCable *, UsbMidiPin *>> m_pins;
};

// Larch: render and capture streams, then two cables on OUT 0x02 and on IN 0x82.
TEST_F(MidiPortTest, EachCableGetsAPinPairAfterTheAudioPins) {
  Plug("Larch");
  const KSFILTER_DESCRIPTOR &filter = *Ctx().filterFactory->FilterDescriptor;
  ASSERT_EQ(filter.PinDescriptorsCount, 12u);
  ASSERT_EQ(Ctx().midiPortCount, 2u);
  EXPECT_EQ(Ctx().midiPinCount[kMidiPinsCapture], 2u);
  EXPECT_EQ(Ctx().midiPinCount[kMidiPinsRender], 2u);
  struct Expected {
    ULONG pin;
    bool in;
    ULONG cable;
  };
  for (Expected e : {Expected{4, false, 0}, Expected{6, false, 1}, Expected{8, true, 0}, Expected{10, true, 1}}) {
    SCOPED_TRACE(e.pin);
    UsbMidiCable *cable = UsbAudioDeviceMidiCable(&Ctx(), e.pin);
    ASSERT_NE(cable, nullptr);
    EXPECT_EQ(cable->number, e.cable);
    EXPECT_EQ(cable->port->in, e.in);
    EXPECT_EQ(filter.PinDescriptors[e.pin].PinDescriptor.DataFlow, e.in ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
    EXPECT_EQ(UsbAudioDeviceMidiCable(&Ctx(), e.pin + 1), nullptr) << "bridge pins have no cable";
  }
  for (ULONG audio = 0; audio < 4; ++audio) EXPECT_EQ(UsbAudioDeviceMidiCable(&Ctx(), audio), nullptr);
}

// A bulk endpoint descriptor followed by `classSpecific`: bLength, type,
// subtype, bNumEmbMIDIJack, then the jack ids.
Bytes EndpointWith(const Bytes &classSpecific) {
  Bytes bytes = {7, 5, 0x82, 2, 0x00, 0x02, 0};
  for (uint8_t b : classSpecific) bytes.push_back(b);
  return bytes;
}

TEST(MidiEndpointCables, AreBoundedByTheDescriptorThatListsThem) {
  struct Case {
    const char *name;
    Bytes bytes;
    ULONG cables;
  };
  const Case cases[] = {
      {"two jacks", EndpointWith({6, 0x25, 1, 2, 3, 4}), 2},
      {"count beyond the jack ids held", EndpointWith({5, 0x25, 1, 16, 3}), 1},
      {"count beyond sixteen", EndpointWith({20, 0x25, 1, 16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), 16},
      {"no jack ids at all", EndpointWith({4, 0x25, 1, 3}), 0},
      {"zero jacks", EndpointWith({5, 0x25, 1, 0, 3}), 0},
      {"too short to hold the count", EndpointWith({3, 0x25, 1}), 0},
      {"not class-specific", EndpointWith({6, 0x24, 1, 2, 3, 4}), 0},
      {"another subtype", EndpointWith({6, 0x25, 2, 2, 3, 4}), 0},
      {"bLength beyond the bytes", EndpointWith({9, 0x25, 1, 2, 3, 4}), 0},
      {"nothing after the endpoint", EndpointWith({}), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DescriptorBytes bytes{c.bytes.data(), static_cast<ULONG>(c.bytes.size())};
    EXPECT_EQ(MidiEndpointCableCount(bytes, reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(c.bytes.data())),
              c.cables);
  }
}

// Gives the MIDI endpoint no embedded jacks: bNumEmbMIDIJack 0 and no jack
// ids, so its class-specific descriptor shrinks to 4 bytes. (A device that
// lies about the count is refused by the simulated device's own descriptor
// checks; the bound is shown on the descriptor walk above.)
void RemoveJacks(DeviceDefinition &definition, uint8_t endpoint) {
  Bytes &config = definition.descriptors.configuration;
  for (size_t at = 0; at + 2 < config.size() && config[at] >= 2; at += config[at]) {
    const size_t next = at + config[at];
    if (config[at + 1] != 5 || config[at + 2] != endpoint || next + 3 >= config.size() || config[next + 1] != 0x25) {
      continue;
    }
    const uint8_t ids = config[next + 3];
    config.erase(config.begin() + static_cast<std::ptrdiff_t>(next + 4),
                 config.begin() + static_cast<std::ptrdiff_t>(next + 4 + ids));
    config[next] = 4;
    config[next + 3] = 0;
    const uint16_t total = static_cast<uint16_t>(config.size());
    config[2] = static_cast<uint8_t>(total);
    config[3] = static_cast<uint8_t>(total >> 8);
    return;
  }
  ADD_FAILURE() << "no MIDI endpoint " << int{endpoint};
}

TEST_F(MidiPortTest, AnEndpointWithoutJacksGetsNoPortAndNoPins) {
  DeviceDefinition definition = Build(Model("Larch"));
  RemoveJacks(definition, 0x02);
  Plug(definition);
  ASSERT_EQ(Ctx().midiPortCount, 1u);
  EXPECT_TRUE(Ctx().midiPorts[0]->in);
  EXPECT_EQ(Ctx().midiPorts[0]->cableCount, 2u);
  EXPECT_EQ(Ctx().filterFactory->FilterDescriptor->PinDescriptorsCount, 8u);
  EXPECT_EQ(Ctx().midiPinCount[kMidiPinsRender], 0u);
  EXPECT_EQ(Ctx().midiPinCount[kMidiPinsCapture], 2u);
}

TEST_F(MidiPortTest, InjectedPacketsReachEveryPinOfTheirCable) {
  Plug("Larch");
  UsbMidiPin *first = Listen(1);
  UsbMidiPin *second = Listen(1);
  UsbMidiPin *other = Listen(0);
  Inject({{0x19, 0x90, 0x3C, 0x64},
          {0x10, 0x90, 0x3C, 0x64},  // CIN 0
          {0x11, 0xF8, 0x00, 0x00},  // CIN 1
          {0x59, 0x90, 0x3C, 0x64},  // no cable 5
          {0x0F, 0xF8, 0x00, 0x00},
          {0x14, 0xF0, 0x7E, 0x7F},
          {0x17, 0x09, 0x01, 0xF7}});
  const std::vector<Bytes> cableOne = {{0x90, 0x3C, 0x64}, {0xF0, 0x7E, 0x7F}, {0x09, 0x01, 0xF7}};
  EXPECT_EQ(Received(first), cableOne);
  EXPECT_EQ(Received(second), cableOne);
  EXPECT_EQ(Received(other), (std::vector<Bytes>{{0xF8}}));
}

TEST_F(MidiPortTest, CapturedMessagesCarryTheFramesSinceThePinStarted) {
  Plug("Larch");
  UsbMidiPin *pin = Listen(0);
  ULONG now = 0;
  const USB_BUS_INTERFACE_USBDI_V2 &bus = Ctx().config.busInterface;
  ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &now), STATUS_SUCCESS);
  pin->startFrame = now;
  machine.RunFor(50 * kMs);
  Inject({{0x09, 0x90, 0x3C, 0x64}});
  MidiCaptureEntry *entry = UsbMidiPinTakeEntry(pin);
  ASSERT_NE(entry, nullptr);
  EXPECT_GE(entry->time, 50u);
  EXPECT_LE(entry->time, 52u);
  UsbMidiPinFreeEntry(pin, entry);
}

TEST_F(MidiPortTest, ReadingResumesAfterPowerDownAndUp) {
  Plug("Larch");
  UsbMidiPin *pin = Listen(0);
  Inject({{0x09, 0x90, 0x3C, 0x64}});
  EXPECT_EQ(Received(pin).size(), 1u);
  ASSERT_TRUE(machine.Suspend());
  EXPECT_EQ(Port(true)->outstanding, 0) << "no read is left on a suspended device";
  machine.Resume();
  Inject({{0x09, 0x90, 0x3E, 0x64}});
  EXPECT_EQ(Received(pin), (std::vector<Bytes>{{0x90, 0x3E, 0x64}}));
}

std::vector<MidiPacket> Packets(std::initializer_list<MidiPacket> packets) { return packets; }

TEST_F(MidiPortTest, WritesReachTheDeviceAsPacketsOfTheirCable) {
  Plug("Larch");
  UsbMidiPort *out = Port(false);
  ASSERT_NE(out, nullptr);
  const UCHAR notes[] = {0x90, 0x3C, 0x64, 0x3E, 0x64};
  const UCHAR sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  EXPECT_EQ(UsbMidiCableWrite(out->cableByNumber[0], notes, sizeof notes), sizeof notes);
  EXPECT_EQ(UsbMidiCableWrite(out->cableByNumber[1], sysex, sizeof sysex), sizeof sysex);
  machine.RunFor(10 * kMs);
  EXPECT_EQ(device->MidiReceived(0), Packets({{0x09, 0x90, 0x3C, 0x64}, {0x09, 0x90, 0x3E, 0x64}}));
  EXPECT_EQ(device->MidiReceived(1), Packets({{0x14, 0xF0, 0x7E, 0x7F}, {0x17, 0x09, 0x01, 0xF7}}));
}

TEST_F(MidiPortTest, ALongSysExArrivesWholeAndInOrder) {
  Plug("Larch");
  Bytes sysex = {0xF0};
  for (int i = 0; i < 6000; ++i) sysex.push_back(static_cast<uint8_t>(i % 0x80));
  sysex.push_back(0xF7);
  UsbMidiCable *cable = Port(false)->cableByNumber[0];
  EXPECT_EQ(UsbMidiCableWrite(cable, sysex.data(), static_cast<ULONG>(sysex.size())), sysex.size());
  machine.RunFor(50 * kMs);
  Bytes arrived;
  for (const MidiPacket &p : device->MidiReceived(0)) {
    const uint8_t cin = p[0] & 15;
    ASSERT_TRUE(cin >= 4 && cin <= 7);
    const size_t n = cin == 4 ? 3 : cin - 4;
    arrived.insert(arrived.end(), p.begin() + 1, p.begin() + 1 + n);
  }
  EXPECT_EQ(arrived, sysex);
}

TEST_F(MidiPortTest, WritesToAnUnpluggedOrSuspendedDeviceAreDroppedAtOnce) {
  Plug("Larch");
  UsbMidiCable *cable = Port(false)->cableByNumber[0];
  const UCHAR note[] = {0x90, 0x3C, 0x64};
  ASSERT_TRUE(machine.Suspend());
  const winsim::VTime before = machine.Now();
  EXPECT_EQ(UsbMidiCableWrite(cable, note, sizeof note), 0u);
  EXPECT_LT(machine.Now() - before, 10 * kMs) << "no wait for a buffer of a stopped port";
  machine.Resume();
  EXPECT_EQ(UsbMidiCableWrite(cable, note, sizeof note), sizeof note);
}

// A render pin holds its cable's port for the length of a write: releasing
// the ports (a stop or removal) waits for the hold, and the held cable stays
// usable (its writes end at once on the stopped port) until released.
TEST_F(MidiPortTest, ReleasingThePortsWaitsForAWriterHoldingACable) {
  Plug("Larch");
  UsbMidiCable *cable = Port(false)->cableByNumber[1];
  UsbMidiPin *pin = UsbMidiPinCreate(nullptr, cable);
  pin->device = &Ctx();
  ASSERT_TRUE(UsbMidiCableAttachPin(cable, pin));
  ASSERT_EQ(UsbMidiPinHoldCable(pin), cable);
  std::atomic<bool> released{false};
  UsbAudioDevice *context = &Ctx();
  auto releaser = machine.Threads().Spawn("MIDI release", winsim::ThreadKind::SystemWorker, winsim::kSystemProcessId,
                                          [&] {
                                            UsbAudioDeviceDestroyMidiPorts(context);
                                            released = true;
                                          });
  machine.RunFor(300 * kMs);
  EXPECT_FALSE(released.load()) << "the ports are not freed under a writer";
  EXPECT_EQ(pin->cable, nullptr) << "the pin has forgotten its cable";
  const UCHAR note[] = {0x91, 0x3C, 0x64};
  const winsim::VTime before = machine.Now();
  EXPECT_EQ(UsbMidiCableWrite(cable, note, sizeof note), 0u);
  EXPECT_LT(machine.Now() - before, 10 * kMs);
  UsbMidiCableRelease(pin, cable);
  KeWaitForSingleObject(releaser->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(released.load());
  EXPECT_EQ(UsbMidiPinHoldCable(pin), nullptr);
  UsbMidiPinFree(pin);
}

}  // namespace
}  // namespace dstest
