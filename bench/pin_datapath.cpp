// The audio pins' data-path cost on this machine, as markdown tables:
//   Process   one pin's conversion of 1 ms of audio: render mix (16-bit,
//             24-in-32) into the device words, capture copy (16-bit,
//             24-in-32) out of them, at 2, 8, 32 channels and 48/96 kHz
//   Completion  what one URB completion does per 1 ms of audio with 1, 2, 4
//             clients, each with a running render and capture pin (24-in-32):
//             the render region zeroed and every render pin's mix into it,
//             every capture pin's copy of the captured packets (one per
//             microframe)
// Each figure is the median over many repetitions, with the cost of memcpy
// of the same client bytes measured in the same run beside it. The pins'
// stream-pointer and spin-lock calls into ks.sys are not part of it: on the
// host build those are winsim's simulation, not the cost on Windows.
//
//   bash bench/run-pin-figures.sh
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "kerneldriver/ks/pin/sample_convert.h"
#include "median_timing.h"

namespace {

constexpr uint32_t kMicroframes = 8;

// Keeps the optimiser from dropping work whose result is never read.
void Touch(const void *p) { asm volatile("" : : "r"(p) : "memory"); }

struct Buffers {
  std::vector<uint8_t> device;
  std::vector<uint8_t> client;
  std::vector<uint8_t> scratch;
};

Buffers Make(uint32_t frames, uint32_t channels, uint32_t clientBytes) {
  Buffers b;
  b.device.resize(static_cast<size_t>(frames) * channels * 4);
  b.client.resize(static_cast<size_t>(frames) * channels * clientBytes);
  b.scratch.resize(b.client.size());
  for (size_t i = 0; i < b.device.size(); ++i) b.device[i] = static_cast<uint8_t>(i * 7);
  for (size_t i = 0; i < b.client.size(); ++i) b.client[i] = static_cast<uint8_t>(i * 13);
  return b;
}

void ProcessTable() {
  std::printf("\n## Process (one pin, 1 ms of audio)\n\n");
  std::printf("| kind | channels | rate | ns/sample | us per ms of audio | memcpy us | ratio to memcpy |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  struct Kind {
    const char *name;
    uint32_t clientBytes;
    void (*convert)(const SampleBlock &);
  } kinds[] = {{"render mix 16-bit", 2, MixFromClient16},
               {"render mix 24-in-32", 4, MixFromClient32},
               {"capture copy 16-bit", 2, CaptureToClient16},
               {"capture copy 24-in-32", 4, CaptureToClient32}};
  for (const Kind &kind : kinds) {
    for (uint32_t channels : {2u, 8u, 32u}) {
      for (uint32_t rate : {48000u, 96000u}) {
        const uint32_t frames = rate / 1000;
        Buffers b = Make(frames, channels, kind.clientBytes);
        const SampleBlock block{b.client.data(), channels, b.device.data(), channels, frames};
        const double convert = qavbench::MedianNs([&] {
          kind.convert(block);
          Touch(b.device.data());
          Touch(b.client.data());
        });
        const double copy = qavbench::MedianNs([&] {
          std::memcpy(b.scratch.data(), b.client.data(), b.client.size());
          Touch(b.scratch.data());
        });
        const double samples = static_cast<double>(frames) * channels;
        std::printf("| %s | %u | %u | %.3f | %.3f | %.3f | %.2f |\n", kind.name, channels, rate, convert / samples,
                    convert / 1000, copy / 1000, convert / copy);
      }
    }
  }
}

void CompletionTable() {
  std::printf("\n## Completion path (1 ms of audio, 24-in-32 clients with a render and a capture pin each)\n\n");
  std::printf("| channels | rate | clients | us per ms of audio | ns/sample moved | memcpy us | ratio to memcpy |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (uint32_t channels : {2u, 8u, 32u}) {
    for (uint32_t rate : {48000u, 96000u}) {
      for (uint32_t clients : {1u, 2u, 4u}) {
        const uint32_t frames = rate / 1000;
        const uint32_t perPacket = frames / kMicroframes;
        const size_t deviceBytes = static_cast<size_t>(frames) * channels * 4;
        std::vector<uint8_t> renderRegion(deviceBytes), captureUrb(deviceBytes);
        std::vector<std::vector<uint8_t>> renderClients(clients, std::vector<uint8_t>(deviceBytes, 3));
        std::vector<std::vector<uint8_t>> captureClients(clients, std::vector<uint8_t>(deviceBytes));
        for (size_t i = 0; i < captureUrb.size(); ++i) captureUrb[i] = static_cast<uint8_t>(i);
        const double path = qavbench::MedianNs([&] {
          std::memset(renderRegion.data(), 0, renderRegion.size());
          for (uint32_t c = 0; c < clients; ++c) {
            MixFromClient32({renderClients[c].data(), channels, renderRegion.data(), channels, frames});
          }
          const uint32_t packetBytes = perPacket * channels * 4;
          for (uint32_t c = 0; c < clients; ++c) {
            for (uint32_t k = 0; k < kMicroframes; ++k) {
              CaptureToClient32({captureClients[c].data() + k * packetBytes, channels,
                                 captureUrb.data() + k * packetBytes, channels, perPacket});
            }
          }
          Touch(renderRegion.data());
          Touch(captureClients.back().data());
        });
        std::vector<uint8_t> scratch(deviceBytes);
        const double copy = qavbench::MedianNs([&] {
          for (uint32_t c = 0; c < clients; ++c) {
            std::memcpy(scratch.data(), renderClients[c].data(), deviceBytes);
            std::memcpy(captureClients[c].data(), captureUrb.data(), deviceBytes);
          }
          Touch(scratch.data());
        });
        const double moved = 2.0 * clients * frames * channels;
        std::printf("| %u | %u | %u | %.3f | %.3f | %.3f | %.2f |\n", channels, rate, clients, path / 1000,
                    path / moved, copy / 1000, path / copy);
      }
    }
  }
}

}  // namespace

int main() {
  ProcessTable();
  CompletionTable();
  return 0;
}
