// Writes the seed corpus of device_model_fuzzer into a folder: for every
// catalog model the device script recorded while the driver configured and
// modelled the simulated device, and the same script with each malformed
// variant of the configuration. A recorded script is replayed at once and
// must build the same model as the device it was recorded from; a
// difference is reported and fails the run (exit 1), since the fuzzer would
// then start from the wrong place.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/model_run.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"

namespace {

struct Variant {
  std::string name;
  std::vector<uint8_t> configuration;
};

// The malformed variants of a model's configuration.
std::vector<Variant> Corruptions(const std::string &model, const std::vector<uint8_t> &configuration) {
  std::vector<Variant> variants;
  for (auto kind : winsim::devices::kAllCorruptions) {
    if (auto bad = winsim::devices::CorruptConfiguration(configuration, kind)) {
      variants.push_back({model + "-" + winsim::devices::CorruptionName(kind), *bad});
    }
  }
  return variants;
}

void Write(const std::string &folder, const std::string &name, const qavfuzz::DeviceScript &script) {
  std::vector<uint8_t> bytes = script.Serialize();
  std::ofstream(folder + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  qavfuzz::ModelRunner runner;
  int mismatches = 0;
  for (const auto &model : winsim::devices::Catalog()) {
    auto built = winsim::devices::BuildDevice(model);
    if (!built.Ok()) continue;
    winsim::devices::AudioDevice device(built.definition);
    qavfuzz::DeviceScript script;
    qavfuzz::RecordingDevice recording(device, script);
    qavfuzz::ModelOutcome recorded = runner.Run(recording, qavfuzz::StackOptions{});
    qavfuzz::ModelOutcome replayed = runner.Run(script);
    Write(argv[1], model.name, script);
    std::printf("%-30s %s\n", model.name.c_str(), recorded.Describe().c_str());
    if (!(replayed == recorded)) {
      std::printf("  replayed differently: %s\n", replayed.Describe().c_str());
      ++mismatches;
    }
    // A malformed configuration with the model's own answers to everything else.
    for (Variant &variant : Corruptions(model.name, script.configuration)) {
      qavfuzz::DeviceScript corrupted = script;
      corrupted.configuration = std::move(variant.configuration);
      Write(argv[1], variant.name, corrupted);
      std::printf("%-30s %s\n", variant.name.c_str(), runner.Run(corrupted).Describe().c_str());
    }
  }
  return mismatches == 0 ? 0 : 1;
}
