// MIDI through the driver from user mode, end to end: what a render pin's
// frames become at the device's OUT jack, what comes back on a looped-back
// cable, and a device pulled while a writer waits for a transfer buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tests/kerneldriver/start/driver_harness.h"
#include "tests/kerneldriver/user_mode_client.h"
#include "tools/qav/midi_pin_io.h"

namespace dstest {
namespace {

using umclient::CKsHandle;
using winsim::devices::MidiPacket;
using Bytes = std::vector<UCHAR>;
constexpr winsim::VTime kMs = winsim::kTicksPerSecond / 1000;

// Larch: pins 4 and 6 render to cables 0 and 1, pins 8 and 10 capture them.
constexpr ULONG kRenderCable0 = 4;
constexpr ULONG kCaptureCable0 = 8;

Bytes LongSysEx(size_t dataBytes) {
  Bytes sysex = {0xF0};
  for (size_t i = 0; i < dataBytes; ++i) sysex.push_back(static_cast<UCHAR>(i % 0x80));
  sysex.push_back(0xF7);
  return sysex;
}

class MidiUserStreamTest : public DriverStartTest {
 protected:
  void Open(ULONG renderPin) {
    m_filter = CKsHandle::OpenFilter(machine);
    ASSERT_TRUE(m_filter.Valid());
    qav::MidiConnect request = qav::MidiConnectRequest(renderPin);
    ASSERT_EQ(m_filter.CreatePin(&request, &m_render), ERROR_SUCCESS);
    ASSERT_EQ(qav::MidiSetRun(m_render.Get()), ERROR_SUCCESS);
  }

  CKsHandle m_filter, m_render;
};

struct RenderCase {
  const char *name;
  Bytes written;
  std::vector<MidiPacket> expected;  // empty: compare the bytes carried instead
};

TEST_F(MidiUserStreamTest, RenderFramesArriveAsTheirPacketsInOrder) {
  const RenderCase cases[] = {
      {"identity request", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {{0x04, 0xF0, 0x7E, 0x7F}, {0x07, 0x09, 0x01, 0xF7}}},
      {"SysEx cut by a status", {0xF0, 0x01, 0x02, 0x90, 0x3C}, {{0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}}},
      {"real-time inside a note", {0x90, 0x3C, 0xF8, 0x64}, {{0x0F, 0xF8, 0, 0}, {0x09, 0x90, 0x3C, 0x64}}},
      {"6 KB SysEx", LongSysEx(6000), {}},
  };
  Plug("Larch");
  Open(kRenderCable0);
  for (const RenderCase &c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = device->MidiReceived(0).size();
    ASSERT_EQ(qav::MidiWriteBytes(m_render.Get(), c.written), ERROR_SUCCESS);
    machine.RunFor(20 * kMs);
    const std::vector<MidiPacket> all = device->MidiReceived(0);
    const std::vector<MidiPacket> arrived(all.begin() + static_cast<ptrdiff_t>(before), all.end());
    if (!c.expected.empty()) {
      EXPECT_EQ(arrived, c.expected);
    } else {
      EXPECT_EQ(winsim::devices::UnpackMidiBytes(arrived), c.written);
    }
  }
}

// What goes out on cable 0 comes back in on cable 0, to a capture pin that
// stamps it with the milliseconds since it entered RUN.
TEST_F(MidiUserStreamTest, ALoopedBackCableReturnsWhatItsRenderPinWrote) {
  Plug("Larch");
  device->SetMidiLoopback(true);
  Open(kRenderCable0);
  qav::MidiConnect request = qav::MidiConnectRequest(kCaptureCable0);
  CKsHandle capture;
  ASSERT_EQ(m_filter.CreatePin(&request, &capture), ERROR_SUCCESS);
  ASSERT_EQ(qav::MidiSetRun(capture.Get()), ERROR_SUCCESS);
  machine.RunFor(40 * kMs);
  ASSERT_EQ(qav::MidiWriteBytes(m_render.Get(), {0x90, 0x3C, 0x64, 0x3C, 0x00, 0xF0, 0x01, 0xF7}), ERROR_SUCCESS);
  const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x00}, {0xF0, 0x01, 0xF7}};
  for (const Bytes &message : expected) {
    qav::MidiRecord record = qav::MidiReadRecord(capture.Get());
    ASSERT_EQ(record.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(record.bytes, message);
    EXPECT_GE(record.timeDeltaMs, 40u);
    EXPECT_LE(record.timeDeltaMs, 45u);
  }
}

struct Writer {
  CKsHandle *pin;
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
};

// 512 notes: more packets than both transfer buffers hold.
DWORD WINAPI WriteUntilStopped(LPVOID context) {
  auto *writer = static_cast<Writer *>(context);
  Bytes notes;
  for (int i = 0; i < 512; ++i) notes.insert(notes.end(), {0x90, static_cast<UCHAR>(i % 0x80), 0x40});
  while (!writer->stop.load()) {
    qav::MidiWriteBytes(writer->pin->Get(), notes);
    writer->writes++;
    Sleep(1);  // a pin without a cable returns at once: let virtual time pass
  }
  return 0;
}

// The device NAKs its OUT endpoint, so the writer sits in the write pump
// waiting for a buffer when the device is pulled: the writer is let go at
// once, not after the pump's time-out, and the pins close.
TEST_F(MidiUserStreamTest, APulledDeviceReleasesAWriterWaitingForABuffer) {
  Plug("Larch");
  device->HoldMidiOut(true);
  Open(kRenderCable0);
  Writer writer{&m_render};
  HANDLE thread = CreateThread(nullptr, 0, WriteUntilStopped, &writer, 0, nullptr);
  machine.RunFor(300 * kMs);
  EXPECT_EQ(writer.writes.load(), 0) << "the first write is still waiting for the device";
  const winsim::VTime pulled = machine.Now();
  writer.stop = true;
  Unplug(true);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_LT(machine.Now() - pulled, 200 * kMs) << "no write waits out its time-out after the removal";
  EXPECT_TRUE(m_render.Close());
  m_filter.Close();
}

// A power-down stops the ports while the writer waits for a buffer the
// device holds: the stop wakes the writer instead of waiting out its
// time-out, and writing goes on after the power-up.
TEST_F(MidiUserStreamTest, APowerDownDoesNotWaitForAWriterWaitingForABuffer) {
  Plug("Larch");
  device->HoldMidiOut(true);
  Open(kRenderCable0);
  Writer writer{&m_render};
  HANDLE thread = CreateThread(nullptr, 0, WriteUntilStopped, &writer, 0, nullptr);
  machine.RunFor(100 * kMs);
  const winsim::VTime before = machine.Now();
  ASSERT_TRUE(machine.Suspend());
  EXPECT_LT(machine.Now() - before, 200 * kMs);
  writer.stop = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  machine.Resume();
  device->HoldMidiOut(false);
  ASSERT_EQ(qav::MidiWriteBytes(m_render.Get(), {0x92, 0x40, 0x50}), ERROR_SUCCESS);
  machine.RunFor(10 * kMs);
  const std::vector<MidiPacket> received = device->MidiReceived(0);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), (MidiPacket{0x09, 0x92, 0x40, 0x50}));
}

// Writers race a stop of the device (a resource rebalance: open MIDI pins
// do not refuse it) on a parallel machine: a render pin's Process may be in
// the middle of a write when the stop frees the ports and their cables
// (AddressSanitizer catches a use after the free). The pin finds no cable
// afterwards and closes cleanly.
class MidiStopRaceTest : public MidiUserStreamTest {
 protected:
  static void SetUpTestSuite() { SuiteParallelMode() = winsim::ParallelOptions{.seed = 5}; }
  static void TearDownTestSuite() { SuiteParallelMode().reset(); }

  void RaceStops(bool held) {
    Plug("Larch");
    device->HoldMidiOut(held);
    Open(kRenderCable0);
    Writer writer{&m_render};
    HANDLE thread = CreateThread(nullptr, 0, WriteUntilStopped, &writer, 0, nullptr);
    for (int i = 0; i < 3; ++i) {
      machine.RunFor(15 * kMs);
      EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
    }
    writer.stop = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_GT(writer.writes.load(), 0);
    EXPECT_TRUE(m_render.Close());
    m_filter.Close();
  }
};

TEST_F(MidiStopRaceTest, WritersInFlightDuringAStopTouchNothingFreed) { RaceStops(false); }
TEST_F(MidiStopRaceTest, WritersWaitingForABufferDuringAStopTouchNothingFreed) { RaceStops(true); }

}  // namespace
}  // namespace dstest
