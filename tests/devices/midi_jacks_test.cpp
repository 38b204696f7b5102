// The simulated MIDI jacks as tests and tools play and read them: MIDI 1.0
// bytes packed the way a device's firmware packs them, a looped-back cable,
// an OUT jack that holds the host off, and the device found from the
// machine it is plugged into.
#include "devices/runtime_harness.h"

#include "winsim/devices/descriptor_builder.h"

namespace runtime_test {
namespace {

using Bytes = std::vector<uint8_t>;
using Packets = std::vector<MidiPacket>;
using winsim::devices::PackMidiBytes;
using winsim::devices::UnpackMidiBytes;

struct PackCase {
  const char *name;
  uint8_t cable;
  Bytes bytes;
  Packets packets;
};

TEST(MidiPacking, BytesBecomeThePacketsOfTheirCable) {
  const PackCase cases[] = {
      {"running status", 1, {0x90, 0x3C, 0x64, 0x3E, 0x64}, {{0x19, 0x90, 0x3C, 0x64}, {0x19, 0x90, 0x3E, 0x64}}},
      {"identity request", 0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {{0x04, 0xF0, 0x7E, 0x7F}, {0x07, 0x09, 0x01, 0xF7}}},
      {"SysEx ending alone", 0, {0xF0, 0x01, 0x02, 0xF7}, {{0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}}},
      {"SysEx ending with two", 0, {0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7}, {{0x04, 0xF0, 0x01, 0x02}, {0x07, 0x03, 0x04, 0xF7}}},
      {"real-time inside a message", 2, {0xC0, 0xF8, 0x05}, {{0x2F, 0xF8, 0, 0}, {0x2C, 0xC0, 0x05, 0}}},
      {"system common ends running status", 0, {0x90, 0x3C, 0x64, 0xF3, 0x01, 0x3C, 0x64}, {{0x09, 0x90, 0x3C, 0x64}, {0x02, 0xF3, 0x01, 0}}},
      {"tune request", 0, {0xF6}, {{0x05, 0xF6, 0, 0}}},
      {"data without a status", 0, {0x3C, 0x64}, {}},
  };
  for (const PackCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PackMidiBytes(c.cable, c.bytes), c.packets);
  }
}

TEST(MidiPacking, ALongSysExComesBackWholeAndUnpackingCountsEachCodeIndex) {
  Bytes sysex = {0xF0};
  for (int i = 0; i < 5000; ++i) sysex.push_back(static_cast<uint8_t>(i % 0x80));
  sysex.push_back(0xF7);
  EXPECT_EQ(UnpackMidiBytes(PackMidiBytes(3, sysex)), sysex);
  const Packets carried = {{0x00, 0x11, 0x22, 0x33}, {0x01, 0x11, 0x22, 0x33}, {0x0C, 0xC1, 0x05, 0x99},
                           {0x0F, 0xFE, 0x77, 0x77}, {0x06, 0xF0, 0xF7, 0x99}};
  EXPECT_EQ(UnpackMidiBytes(carried), (Bytes{0xC1, 0x05, 0xFE, 0xF0, 0xF7})) << "CIN 0 and 1 carry nothing";
}

Bytes Flat(const Packets &packets) {
  Bytes bytes;
  for (const MidiPacket &p : packets) bytes.insert(bytes.end(), p.begin(), p.end());
  return bytes;
}

// Larch: bulk OUT 0x02 and IN 0x82, two cables.
TEST(MidiJacks, ALoopedBackCableReturnsWhatReachedItsOutJack) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->SetMidiLoopback(true);
  auto in = bench.SubmitBulk(TransferKind::Bulk, 0x82, Bytes(64));
  EXPECT_FALSE(bench.Wait(*in, 50 * kTicksPerMillisecond)) << "nothing played yet";
  const Packets sent = PackMidiBytes(1, Bytes{0x90, 0x3C, 0x64, 0xB0, 0x07, 0x40});
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x02, Flat(sent));
  ASSERT_TRUE(bench.Wait(*out));
  ASSERT_TRUE(bench.Wait(*in)) << "the waiting read is served once the packets loop back";
  EXPECT_EQ(Bytes(in->buffer.begin(), in->buffer.begin() + in->transfer.actualLength), Flat(sent));
  EXPECT_EQ(bench.device->MidiReceivedBytes(1), (Bytes{0x90, 0x3C, 0x64, 0xB0, 0x07, 0x40}));
}

TEST(MidiJacks, AHeldOutJackNaksUntilReleasedAndInjectedBytesArriveAsPackets) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->HoldMidiOut(true);
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x02, Flat(PackMidiBytes(0, Bytes{0x80, 0x3C, 0x00})));
  EXPECT_FALSE(bench.Wait(*out, 100 * kTicksPerMillisecond));
  EXPECT_GT(bench.device->Midi().outNaks, 0u);
  bench.device->HoldMidiOut(false);
  ASSERT_TRUE(bench.Wait(*out));
  EXPECT_EQ(bench.device->MidiReceivedBytes(0), (Bytes{0x80, 0x3C, 0x00}));

  bench.device->InjectMidiBytes(1, Bytes{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  auto in = bench.SubmitBulk(TransferKind::Bulk, 0x82, Bytes(64));
  ASSERT_TRUE(bench.Wait(*in));
  EXPECT_EQ(Bytes(in->buffer.begin(), in->buffer.begin() + in->transfer.actualLength),
            (Bytes{0x14, 0xF0, 0x7E, 0x7F, 0x17, 0x09, 0x01, 0xF7}));
}

TEST(MidiJacks, ThePluggedDeviceIsFoundFromItsMachine) {
  winsim::Machine machine;
  const winsim::devices::BuildResult built = winsim::devices::BuildDevice(*FindModel("Rowan"));
  ASSERT_TRUE(built.Ok());
  auto device = std::make_shared<AudioDevice>(built.definition);
  const winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  EXPECT_EQ(winsim::devices::PluggedAudioDevice(machine, handle), device);
  EXPECT_EQ(winsim::devices::PluggedAudioDevice(machine, winsim::usb::UsbDeviceHandle{}), nullptr);
  EXPECT_EQ(winsim::devices::PluggedAudioDevice(machine, winsim::usb::UsbDeviceHandle{1, handle.port + 1}), nullptr);
  machine.UnplugDevice(handle, false);
  EXPECT_EQ(winsim::devices::PluggedAudioDevice(machine, handle), nullptr) << "gone with the unplug";
}

}  // namespace
}  // namespace runtime_test
