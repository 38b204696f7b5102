// The status interrupt reports clock validity changes as UAC2 interrupt
// messages, and the MIDI endpoints carry USB-MIDI event packets both ways.
#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

using Bytes = std::vector<uint8_t>;

// Birch: status interrupt endpoint 0x84, S/PDIF clock 0x29 starts without lock.
TEST(StatusInterrupt, ReportsEachValidityChangeOfAClockOnce) {
  Bench bench(*FindModel("Birch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  auto first = bench.SubmitBulk(TransferKind::Interrupt, 0x84, Bytes(6));
  EXPECT_FALSE(bench.Wait(*first, 100 * kTicksPerMillisecond)) << "nothing to report yet";
  EXPECT_EQ(bench.ClassGet(kCur, 0x29, kClockValid, 1).data, Bytes{0});

  bench.device->SetClockValid(0x29, true);
  ASSERT_TRUE(bench.Wait(*first));
  EXPECT_EQ(first->transfer.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(first->buffer, (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, 0x29}));
  EXPECT_EQ(bench.ClassGet(kCur, 0x29, kClockValid, 1).data, Bytes{1});

  auto second = bench.SubmitBulk(TransferKind::Interrupt, 0x84, Bytes(6));
  bench.device->SetClockValid(0x29, true);  // no change, no message
  EXPECT_FALSE(bench.Wait(*second, 100 * kTicksPerMillisecond));
  bench.device->SetClockValid(0x28, false);
  ASSERT_TRUE(bench.Wait(*second));
  EXPECT_EQ(second->buffer, (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, 0x28}));
  EXPECT_EQ(bench.ClassGet(kCur, 0x28, kClockValid, 1).data, Bytes{0});
  EXPECT_EQ(bench.device->Status().sent, 2u);
}

TEST(StatusInterrupt, QueuedMessagesWaitForTheHostInOrder) {
  Bench bench(*FindModel("Larch"));  // status endpoint 0x83; S/PDIF and ADAT clocks start locked
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->SetClockValid(0x29, false);
  bench.device->SetClockValid(0x2A, false);
  bench.device->SetClockValid(0x77, false);  // not a clock of this device
  EXPECT_EQ(bench.device->Status().pending, 2u);
  for (uint8_t clock : {0x29, 0x2A}) {
    auto read = bench.SubmitBulk(TransferKind::Interrupt, 0x83, Bytes(8));
    ASSERT_TRUE(bench.Wait(*read));
    EXPECT_EQ(read->transfer.actualLength, 6u);
    EXPECT_EQ(read->buffer[5], clock);
  }
}

TEST(StatusInterrupt, DevicesWithoutTheEndpointOnlyChangeTheValidity) {
  Bench bench(*FindModel("Alder"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->SetClockValid(0x28, false);
  EXPECT_EQ(bench.ClassGet(kCur, 0x28, kClockValid, 1).data, Bytes{0});
  EXPECT_EQ(bench.device->Status().pending, 0u);
}

TEST(StatusInterrupt, EndpointDoesNotAnswerBeforeConfiguration) {
  Bench bench(*FindModel("Birch"));
  auto read = bench.SubmitBulk(TransferKind::Interrupt, 0x84, Bytes(6));
  ASSERT_TRUE(bench.Wait(*read));
  EXPECT_EQ(read->transfer.status, USBD_STATUS_DEV_NOT_RESPONDING);
}

MidiPacket NoteOn(uint8_t cable, uint8_t note) { return {static_cast<uint8_t>(cable << 4 | 0x9), 0x90, note, 0x64}; }

Bytes Flatten(std::initializer_list<MidiPacket> packets) {
  Bytes bytes;
  for (const MidiPacket &p : packets) bytes.insert(bytes.end(), p.begin(), p.end());
  return bytes;
}

// Larch: two cables, bulk OUT 0x02 and IN 0x82.
TEST(Midi, OutPacketsAreRecordedPerCableInOrder) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x02, Flatten({NoteOn(0, 60), NoteOn(1, 62), NoteOn(0, 64)}));
  ASSERT_TRUE(bench.Wait(*out));
  EXPECT_EQ(out->transfer.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(out->transfer.actualLength, 12u);
  EXPECT_EQ(bench.device->MidiReceived(0), (std::vector<MidiPacket>{NoteOn(0, 60), NoteOn(0, 64)}));
  EXPECT_EQ(bench.device->MidiReceived(1), (std::vector<MidiPacket>{NoteOn(1, 62)}));
  EXPECT_EQ(bench.device->Midi().unknownCablePackets, 0u);
}

class MisalignedMidi : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MisalignedMidi, TransfersAreCountedAndDroppedWhole) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  Bytes bytes = Flatten({NoteOn(0, 60), NoteOn(0, 61)});
  bytes.resize(GetParam(), 0x55);
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x02, bytes);
  ASSERT_TRUE(bench.Wait(*out));
  EXPECT_EQ(bench.device->Midi().malformedTransfers, 1u);
  EXPECT_TRUE(bench.device->MidiReceived(0).empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, MisalignedMidi, ::testing::Values(1u, 3u, 6u, 9u));

TEST(Midi, PacketsForACableTheDeviceLacksAreRecordedAndCounted) {
  Bench bench(*FindModel("Rowan"));  // one cable, bulk OUT 0x03
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x03, Flatten({NoteOn(5, 60)}));
  ASSERT_TRUE(bench.Wait(*out));
  EXPECT_EQ(bench.device->Midi().unknownCablePackets, 1u);
  EXPECT_EQ(bench.device->MidiReceived(5).size(), 1u);
}

TEST(Midi, InReadsWaitForInjectedPacketsAndTakeWhatFits) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  auto first = bench.SubmitBulk(TransferKind::Bulk, 0x82, Bytes(8));
  EXPECT_FALSE(bench.Wait(*first, 200 * kTicksPerMillisecond));
  const MidiPacket injected[] = {NoteOn(0, 60), NoteOn(1, 61), NoteOn(0, 62)};
  bench.device->InjectMidi(injected);
  ASSERT_TRUE(bench.Wait(*first));
  EXPECT_EQ(first->buffer, Flatten({NoteOn(0, 60), NoteOn(1, 61)}));
  auto second = bench.SubmitBulk(TransferKind::Bulk, 0x82, Bytes(512));
  ASSERT_TRUE(bench.Wait(*second));
  EXPECT_EQ(second->transfer.actualLength, 4u);
  EXPECT_EQ(Bytes(second->buffer.begin(), second->buffer.begin() + 4), Flatten({NoteOn(0, 62)}));
  EXPECT_EQ(bench.device->Midi().packetsSent, 3u);
}

TEST(Midi, EndpointsDoNotAnswerBeforeConfiguration) {
  Bench bench(*FindModel("Larch"));
  auto out = bench.SubmitBulk(TransferKind::Bulk, 0x02, Flatten({NoteOn(0, 60)}));
  ASSERT_TRUE(bench.Wait(*out));
  EXPECT_EQ(out->transfer.status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_TRUE(bench.device->MidiReceived(0).empty());
}

}  // namespace
}  // namespace runtime_test
