// Writes the seed corpus of device_start_fuzzer into a folder: every catalog
// model's own configuration and each of its malformed variants, prefixed
// with the model's index.
#include <cstdio>
#include <fstream>
#include <string>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"

namespace {

void Write(const std::string &folder, const std::string &name, uint8_t model, const std::vector<uint8_t> &bytes) {
  std::ofstream out(folder + "/" + name, std::ios::binary);
  out.put(static_cast<char>(model));
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  uint8_t index = 0;
  for (const auto &model : winsim::devices::Catalog()) {
    auto built = winsim::devices::BuildDevice(model);
    if (!built.Ok()) continue;
    const auto &configuration = built.definition.descriptors.configuration;
    Write(argv[1], model.name, index, configuration);
    for (auto kind : winsim::devices::kAllCorruptions) {
      if (auto bad = winsim::devices::CorruptConfiguration(configuration, kind)) {
        Write(argv[1], model.name + "-" + std::to_string(static_cast<int>(kind)), index, *bad);
      }
    }
    ++index;
  }
  return 0;
}
