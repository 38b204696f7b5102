// Writes every catalog model as a text file into the folder given: as
// `lsusb -v` prints it (lsusb_text_seeds) or in the raw-descriptor text
// format (raw_text_seeds).
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/qav/support/lsusb_printer.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/string_descriptors.h"

namespace {

std::string HexLine(const char *key, const std::vector<uint8_t> &bytes) {
  std::string line = key;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, " %02x", b);
    line += byte;
  }
  return line + "\n";
}

std::string RawText(const winsim::devices::DeviceDefinition &d) {
  std::string text = HexLine("device", d.descriptors.device) + HexLine("configuration", d.descriptors.configuration);
  for (const auto &[index, bytes] : d.descriptors.strings) {
    text += HexLine(("string " + std::to_string(index)).c_str(), bytes);
  }
  return text + "rates 44100 48000 96000\n";
}

std::string LsusbText(const winsim::devices::DeviceDefinition &d) {
  return qav::test::PrintLsusb(d.descriptors.device, d.descriptors.configuration,
                               [&d](uint8_t index) -> std::optional<std::string> {
                                 const std::vector<uint8_t> *bytes = d.descriptors.String(index);
                                 if (bytes == nullptr) return std::nullopt;
                                 auto text = winsim::devices::DecodeStringDescriptor(*bytes);
                                 if (!text) return std::nullopt;
                                 return winsim::devices::Utf16ToUtf8(*text);
                               });
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  for (const winsim::devices::DeviceModel &model : winsim::devices::Catalog()) {
    winsim::devices::BuildResult built = winsim::devices::BuildDevice(model);
    if (!built.Ok()) continue;
    std::ofstream(std::string(argv[1]) + "/" + model.name + ".txt") << (QAV_SEEDS_LSUSB ? LsusbText(built.definition) : RawText(built.definition));
  }
  return 0;
}
