// MIDI pins from user mode, as a client drives them: KsCreatePin with the
// MIDI data format, RUN, then KSMUSICFORMAT frames read from a capture pin
// and written to a render pin.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/kerneldriver/start/driver_harness.h"
#include "tests/kerneldriver/user_mode_client.h"
#include "tools/qav/midi_pin_io.h"

namespace dstest {
namespace {

using umclient::CKsHandle;
using winsim::devices::MidiPacket;
constexpr winsim::VTime kMs = winsim::kTicksPerSecond / 1000;

using MidiUserPinTest = DriverStartTest;

// Larch: pins 4 and 6 render to cables 0 and 1, pins 8 and 10 capture them.
TEST_F(MidiUserPinTest, CapturePinsOfACableEachReadItsMessagesWithTheirTime) {
  Plug("Larch");
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid());
  qav::MidiConnect request = qav::MidiConnectRequest(10);
  CKsHandle first, second;
  ASSERT_EQ(filter.CreatePin(&request, &first), ERROR_SUCCESS);
  ASSERT_EQ(filter.CreatePin(&request, &second), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(first.Get()), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(second.Get()), ERROR_SUCCESS);
  machine.RunFor(30 * kMs);
  const MidiPacket packets[] = {{0x19, 0x90, 0x3C, 0x64}};
  device->InjectMidi(packets);
  machine.RunFor(5 * kMs);
  for (const CKsHandle *pin : {&first, &second}) {
    alignas(8) UCHAR frame[64] = {};
    KSSTREAM_HEADER header = qav::MidiStreamHeader(frame, sizeof frame, 0);
    ASSERT_EQ(qav::MidiStream(pin->Get(), IOCTL_KS_READ_STREAM, &header), ERROR_SUCCESS);
    KSMUSICFORMAT music;
    std::memcpy(&music, frame, sizeof music);
    EXPECT_EQ(music.ByteCount, 3u);
    EXPECT_GE(music.TimeDeltaMs, 30u) << "milliseconds since the pin entered RUN";
    EXPECT_LE(music.TimeDeltaMs, 37u);
    EXPECT_EQ(std::vector<UCHAR>(frame + 8, frame + 11), (std::vector<UCHAR>{0x90, 0x3C, 0x64}));
    EXPECT_EQ(header.DataUsed, 12u);
  }
}

TEST_F(MidiUserPinTest, RenderFramesReachTheDeviceAndAnOverlongByteCountIsBounded) {
  Plug("Larch");
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  qav::MidiConnect request = qav::MidiConnectRequest(6);
  CKsHandle pin;
  ASSERT_EQ(filter.CreatePin(&request, &pin), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(pin.Get()), ERROR_SUCCESS);
  alignas(8) UCHAR frame[16] = {};
  const KSMUSICFORMAT music{0, 5};
  std::memcpy(frame, &music, sizeof music);
  const UCHAR bytes[] = {0x90, 0x3C, 0x64, 0x3E, 0x64};
  std::memcpy(frame + 8, bytes, sizeof bytes);
  KSSTREAM_HEADER header = qav::MidiStreamHeader(frame, sizeof frame, 13);
  ASSERT_EQ(qav::MidiStream(pin.Get(), IOCTL_KS_WRITE_STREAM, &header), ERROR_SUCCESS);
  // A record claiming more bytes than the frame holds: only what is there.
  const KSMUSICFORMAT lying{0, 1000};
  std::memcpy(frame, &lying, sizeof lying);
  const UCHAR programChange[] = {0xC1, 0x05};
  std::memcpy(frame + 8, programChange, sizeof programChange);
  header = qav::MidiStreamHeader(frame, sizeof frame, 10);
  ASSERT_EQ(qav::MidiStream(pin.Get(), IOCTL_KS_WRITE_STREAM, &header), ERROR_SUCCESS);
  machine.RunFor(10 * kMs);
  EXPECT_EQ(device->MidiReceived(1), (std::vector<MidiPacket>{{0x19, 0x90, 0x3C, 0x64},
                                                             {0x19, 0x90, 0x3E, 0x64},
                                                             {0x1C, 0xC1, 0x05, 0x00}}));
}

// The cables go with the device while its pins are still open: the pins
// find no cable, reading ends, and closing them later touches nothing freed.
TEST_F(MidiUserPinTest, PinsOpenAcrossASurpriseRemovalCloseCleanly) {
  Plug("Larch");
  CKsHandle filter = CKsHandle::OpenFilter(machine);
  qav::MidiConnect captureRequest = qav::MidiConnectRequest(8);
  qav::MidiConnect renderRequest = qav::MidiConnectRequest(4);
  CKsHandle capture, render;
  ASSERT_EQ(filter.CreatePin(&captureRequest, &capture), ERROR_SUCCESS);
  ASSERT_EQ(filter.CreatePin(&renderRequest, &render), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(capture.Get()), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(render.Get()), ERROR_SUCCESS);
  Unplug(true);
  alignas(8) UCHAR frame[16] = {};
  const KSMUSICFORMAT music{0, 3};
  std::memcpy(frame, &music, sizeof music);
  frame[8] = 0x90;
  frame[9] = 0x3C;
  frame[10] = 0x64;
  KSSTREAM_HEADER header = qav::MidiStreamHeader(frame, sizeof frame, 11);
  const winsim::VTime before = machine.Now();
  qav::MidiStream(render.Get(), IOCTL_KS_WRITE_STREAM, &header);
  EXPECT_LT(machine.Now() - before, 100 * kMs) << "no wait for buffers of a removed device";
  EXPECT_TRUE(render.Close());
  EXPECT_TRUE(capture.Close());
  filter.Close();
}

}  // namespace
}  // namespace dstest
