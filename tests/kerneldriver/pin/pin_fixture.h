// A plugged interface with the driver's filter reached from user mode:
// clients open it by its interface path, stream through their pins, and the
// tests look at what the simulated device played and what came back.
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../start/driver_harness.h"
#include "kerneldriver/stream/audio_stream.h"
#include "pin_client.h"

namespace pintest {

// Interleaved samples of a client ramp: never 0 (a 0 would read as a gap)
// nor -2^31 (the symmetric mix clamp lifts it), and (24-in-32) with the low byte clear so a 24-bit converter keeps
// them whole.
int16_t Ramp16(uint64_t frame, uint32_t channel, uint32_t channels);
int32_t Ramp32(uint64_t frame, uint32_t channel, uint32_t channels);
// The device word a client sample becomes.
int32_t DeviceWord(const WaveShape &shape, uint64_t frame, uint32_t channel);
// A left-justified 32-bit value as a `subslot`-byte subslot carries it.
int32_t AtDeviceResolution(int32_t value, uint32_t subslot);

// Keeps `depth` frames of `frameMs` in flight on every client for
// `milliseconds` of virtual time (render clients write their generator's
// frames, capture clients read), then waits for what is in flight.
// Render writes frames f from 0 on; capture frames land in `captured`.
struct Flow {
  CPinClient *client;
  bool capture;
  std::function<void(uint64_t frame, uint8_t *out)> generate;  // render: one client frame
  std::vector<uint8_t> captured;
  std::vector<ULONG> flags;  // capture: OptionsFlags of each completed frame
  uint64_t framesSent = 0;
  bool failed = false;
};

class PinTest : public dstest::DriverStartTest {
 protected:
  void TearDown() override;

  // Plugs the model with every capture channel looping back its output channel.
  void PlugLoopback(const char *model);
  void PlugLoopback(winsim::devices::DeviceDefinition definition);
  std::string FilterPath();
  ULONG StreamingPinId(bool capture);

  // A client with its filter open and a pin created (asserted).
  CPinClient &NewClient();
  CPinClient &OpenClient(bool capture, const WaveShape &shape);

  // What the render stream's data packets carried to the device, every
  // subslot widened to a left-justified 32-bit value, all channels
  // interleaved. Before any pin runs.
  void RecordPlayed();
  std::vector<int32_t> Played(uint32_t *channels, uint32_t *subslot = nullptr);

  // See Flow.
  // `each` (if set) runs after every round of one frame per flow.
  void Pump(std::vector<Flow *> flows, uint32_t milliseconds, uint32_t frameMs = 10, uint32_t depth = 6,
            const std::function<void(uint32_t round)> &each = {});

  std::vector<std::unique_ptr<CPinClient>> clients;

 private:
  std::mutex m_playedLock;
  std::vector<int32_t> m_played;
  uint32_t m_playedChannels = 0;
  uint32_t m_playedSubslot = 4;
};

// A format change as ks.sys makes it on the first pin of the device's
// first filter: under the device and filter mutexes, the new connection
// format in place, then SetDataFormat with the old one; a refusal puts the
// old one back.
NTSTATUS ChangeFormat(UsbAudioDevice &device, const WaveShape &shape);

// The first frame at which `samples` (interleaved, `channels` wide) holds
// anything but silence; samples.size() / channels when none.
template <typename T>
size_t FirstSound(const std::vector<T> &samples, uint32_t channels) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != 0) return i / channels;
  }
  return samples.size() / channels;
}

}  // namespace pintest
