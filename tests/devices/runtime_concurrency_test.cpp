// A test thread may change sources, clocks and faults and read counters
// while the bus streams on the host controller's thread; every change lands
// and nothing is lost or counted twice.
#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

// An interrupt or bulk IN read that is resubmitted from its own completion.
class InReader {
 public:
  InReader(Bench &bench, TransferKind kind, uint8_t endpoint, uint32_t room) : m_bench(bench), m_buffer(room) {
    m_transfer.kind = kind;
    m_transfer.endpoint = endpoint;
    m_transfer.buffer = m_buffer.data();
    m_transfer.length = room;
    m_transfer.onComplete = [this](Transfer &t) {
      if (t.status == USBD_STATUS_SUCCESS) m_bytes += t.actualLength;
      if (m_stopping || t.status != USBD_STATUS_SUCCESS || Submit() != USBD_STATUS_PENDING) m_running = false;
    };
  }

  void Start() {
    m_running = true;
    EXPECT_EQ(Submit(), USBD_STATUS_PENDING);
  }
  void Stop() {
    m_stopping = true;
    if (m_bench.hc.Cancel(&m_transfer)) m_bench.machine.RunUntil([&] { return !m_running.load(); }, kTicksPerSecond);
    m_bench.machine.RunUntil([&] { return !m_running.load(); }, kTicksPerSecond);
  }
  uint64_t Bytes() const { return m_bytes.load(); }

 private:
  int32_t Submit() { return m_bench.hc.Submit(m_bench.port, &m_transfer); }

  Bench &m_bench;
  std::vector<uint8_t> m_buffer;
  Transfer m_transfer;
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_running{false};
  std::atomic<uint64_t> m_bytes{0};
};

TEST(DeviceThreads, ATestThreadPokesTheDeviceWhileTheBusStreams) {
  Bench bench(*FindModel("Larch"));  // render 20 × 4 bytes, capture 18 × 4 bytes, status 0x83, MIDI IN 0x82
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  IsoPump render(bench, {0x01, 1024}, [](uint8_t *packet, uint32_t) {
    std::fill_n(packet, 6 * 80, 0x10);
    return 6u * 80;
  });
  CaptureLog log{18 * 4, 4};
  IsoPump capture(bench, {0x81, 1024}, {}, log.Taker());
  InReader status(bench, TransferKind::Interrupt, 0x83, 6);
  InReader midi(bench, TransferKind::Bulk, 0x82, 512);
  render.Start();
  capture.Start();
  status.Start();
  midi.Start();

  constexpr int kPokes = 400;
  auto poker = bench.machine.Threads().Spawn("poker", ThreadKind::Device, kSystemProcessId, [&] {
    for (int i = 0; i < kPokes; ++i) {
      LARGE_INTEGER interval;
      interval.QuadPart = -kTicksPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      bench.device->SetClockValid(0x29, i % 2 != 0);
      bench.device->SetCaptureSource(static_cast<uint32_t>(i % 18), CaptureSource::Constant(i << 8));
      bench.device->SetDriftPpm(i % 3 - 1);
      bench.device->EditFaults([i](FaultKnobs &k) { k.dropIsoEvery = i % 2 ? 0 : 7; });
      const MidiPacket packet{0x09, 0x90, static_cast<uint8_t>(i & 0x7F), 0x40};
      bench.device->InjectMidi({&packet, 1});
      EXPECT_TRUE(bench.device->Render().active);
      EXPECT_LE(bench.device->RecentOutput(64).Frames(), 64u);
    }
  });
  ASSERT_TRUE(bench.machine.RunUntil([&] { return poker->Exited(); }, 2 * kTicksPerSecond));
  bench.machine.RunFor(20 * kTicksPerMillisecond);
  capture.Stop();
  render.Stop();
  status.Stop();
  midi.Stop();

  const StatusStats messages = bench.device->Status();
  EXPECT_EQ(status.Bytes() / 6 + messages.pending + messages.overflowed, uint64_t{kPokes});
  EXPECT_EQ(midi.Bytes(), 4u * kPokes);
  EXPECT_GT(bench.device->Faults().isoDropped, 0u);
  EXPECT_GT(log.TotalFrames(), 300u * 48);  // 400 ms at 48 kHz, less the dropped packets
}

}  // namespace
}  // namespace runtime_test
