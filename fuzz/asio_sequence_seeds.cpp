// Writes the IASIO sequence fuzzer's seeds into the folder given: the
// sequences a host follows (query, buffers, start, run, stop, dispose) on
// every catalog model alone and on pairs, with time info on and off, and the
// disturbances a host meets on the way: rate changes while streaming, the
// settings dialog, performance-mode and rate changes by another client, a
// device removed under a running stream, the object released mid-stream.
#include <cstdio>
#include <string>
#include <vector>

#include "asio_sequence_script.h"

using asiofuzz::CWriter;
using asiofuzz::Op;

namespace {

constexpr uint8_t kModels = 8;

std::vector<CWriter::Record> AllChannels(uint8_t inputs, uint8_t outputs) {
  std::vector<CWriter::Record> records;
  for (uint8_t c = 0; c < inputs; ++c) records.push_back({1, c});
  for (uint8_t c = 0; c < outputs; ++c) records.push_back({0, c});
  return records;
}

void Queries(CWriter &w) {
  w.Call(Op::Init).Call(Op::DriverInfo).Call(Op::GetChannels).Call(Op::GetBufferSize).Call(Op::GetLatencies);
  w.Call(Op::GetSampleRate).Call(Op::CanSampleRate).U8(1).Call(Op::CanSampleRate).U8(6);
  w.Call(Op::GetClockSources).U32(4).Call(Op::GetChannelInfo).U32(0).U32(1).Call(Op::GetChannelInfo).U32(1).U32(0);
  w.Call(Op::Future).U32(10).U8(1).Call(Op::Future).U32(1).U8(1);
}

// A host's whole session: buffers for every channel, stream, stop, dispose.
CWriter Session(uint8_t devices, uint8_t first, uint8_t second, uint8_t flags, uint8_t sizeChoice) {
  CWriter w(devices, first, second, flags);
  Queries(w);
  // Every model takes two inputs and outputs but one without inputs, which
  // the second request serves.
  w.CreateBuffers(AllChannels(2, 2), sizeChoice).CreateBuffers({{0, 0}, {0, 1}}, sizeChoice);
  w.Call(Op::GetLatencies).Call(Op::Start).Call(Op::RunTime).U8(60).Call(Op::GetSamplePosition).Call(Op::OutputReady);
  w.Call(Op::Stop).Call(Op::DisposeBuffers);
  return w;
}

std::vector<std::vector<uint8_t>> Seeds() {
  std::vector<std::vector<uint8_t>> seeds;
  for (uint8_t model = 0; model < kModels; ++model) {
    seeds.push_back(Session(1, model, 0, 0, 1).Bytes());
    seeds.push_back(Session(1, model, 0, asiofuzz::kHostTimeInfo, 0).Bytes());
  }
  seeds.push_back(Session(2, 0, 5, 0, 0).Bytes());
  seeds.push_back(Session(2, 1, 1, asiofuzz::kHostTimeInfo, 2).Bytes());
  seeds.push_back(Session(0, 0, 0, 0, 0).Bytes());

  // Rates while streaming, raw rates, clock sources.
  CWriter rates(1, 1, 0, asiofuzz::kHostTimeInfo);
  Queries(rates);
  rates.CreateBuffers(AllChannels(2, 2), 4).Call(Op::Start).Call(Op::RunTime).U8(30);
  rates.Call(Op::SetSampleRate).U8(3).Call(Op::RunTime).U8(30).Call(Op::SetSampleRate).U8(16);
  rates.Call(Op::SetSampleRate).RawRate(44100.0).Call(Op::SetClockSource).U32(1).Call(Op::SetClockSource).U32(0);
  rates.Call(Op::GetClockSources).U32(0xFFFFFFFF).Call(Op::RunTime).U8(30).Call(Op::Stop).Call(Op::DisposeBuffers);
  seeds.push_back(rates.Bytes());

  // The settings dialog, answered OK with other settings, then a reset.
  CWriter panel(1, 0, 0, 0);
  Queries(panel);
  panel.CreateBuffers(AllChannels(2, 2), 0).Call(Op::ControlPanel).U8(1).U32(5).U32(128).U32(3);
  panel.Call(Op::DisposeBuffers).Call(Op::GetBufferSize).CreateBuffers(AllChannels(2, 2), 1).Call(Op::Start);
  panel.Call(Op::RunTime).U8(40).Call(Op::ControlPanel).U8(0).U32(1).U32(64).U32(1).Call(Op::Stop);
  seeds.push_back(panel.Bytes());

  // Another client changes the mode and the rate under a running stream.
  CWriter others(2, 0, 1, 0);
  Queries(others);
  others.CreateBuffers(AllChannels(4, 4), 0).Call(Op::Start).Call(Op::RunTime).U8(30);
  others.Call(Op::SetUrbSize).U8(0).U32(0).Call(Op::RunTime).U8(30).Call(Op::SetUrbSize).U8(1).U32(2);
  others.Call(Op::SetDeviceRate).U8(0).U32(3).Call(Op::RunTime).U8(50).Call(Op::Stop).Call(Op::Start);
  others.Call(Op::RunTime).U8(20);
  seeds.push_back(others.Bytes());

  // A device goes away under a running stream, then the host carries on.
  for (uint8_t devices : {1, 2}) {
    CWriter removal(devices, 5, 0, asiofuzz::kHostTimeInfo);
    Queries(removal);
    removal.CreateBuffers(AllChannels(4, 4), 0).Call(Op::Start).Call(Op::RunTime).U8(30);
    removal.Call(Op::SurpriseRemove).U8(0).Call(Op::RunTime).U8(100).Call(Op::GetSamplePosition);
    removal.Call(Op::SetSampleRate).U8(1).Call(Op::Stop).Call(Op::Start).Call(Op::RunTime).U8(50);
    removal.Call(Op::Stop).Call(Op::DisposeBuffers).Call(Op::Recreate).Call(Op::Init).Call(Op::GetChannels);
    seeds.push_back(removal.Bytes());
  }

  // Released while streaming; odd buffer requests.
  CWriter release(1, 2, 0, 0);
  Queries(release);
  release.CreateBuffers({{1, 0}, {1, 0}, {0, 0xFF}}, 0, 0).U32(0x7FFFFFFF);
  release.CreateBuffers({{1, 0}, {0, 1}}, 22, 5).CreateBuffers({{0, 0}}, 20);
  release.CreateBuffers({{0, 0}, {1, 1}}, 9).Call(Op::Start).Call(Op::RunTime).U8(20).Call(Op::Recreate);
  seeds.push_back(release.Bytes());
  return seeds;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  int n = 0;
  for (const std::vector<uint8_t> &seed : Seeds()) {
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 1;
    std::fwrite(seed.data(), 1, seed.size(), file);
    std::fclose(file);
  }
  std::printf("%d seeds\n", n);
  return 0;
}
