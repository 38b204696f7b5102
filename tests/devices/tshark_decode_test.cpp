// An independent decoder reads our bus captures: every catalog model's
// enumeration decodes as USB Audio Class 2.0 without error or malformed
// expert items, and a malformed configuration does produce one, so the check
// can fail. tshark is required (Debian package tshark); without it these
// tests fail rather than skip.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"
#include "winsim/devices/enumeration_capture.h"

namespace {

using namespace winsim::devices;
using winsim::usb::PcapStatus;
using winsim::usb::PcapWriter;

constexpr int kTsharkTimeoutSeconds = 120;

struct Decoded {
  int exitCode = -1;
  std::string text;

  bool HasErrors() const {
    return text.find("Errors (") != std::string::npos || text.find("Malformed") != std::string::npos;
  }
  bool Shows(const char *what) const { return text.find(what) != std::string::npos; }
};

std::string FindTshark() {
  if (access("/usr/bin/tshark", X_OK) == 0) return "/usr/bin/tshark";
  FILE *which = popen("command -v tshark 2>/dev/null", "r");
  if (!which) return {};
  char line[512] = {};
  const bool found = fgets(line, sizeof line, which) != nullptr;
  pclose(which);
  std::string path = found ? line : "";
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

// Full packet detail and the expert summary of one capture.
Decoded Decode(const std::string &tshark, const std::string &capture) {
  const std::string command = "timeout " + std::to_string(kTsharkTimeoutSeconds) + " " + tshark + " -r '" + capture +
                              "' -V -z expert 2>&1";
  Decoded decoded;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return decoded;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) decoded.text.append(chunk, got);
  const int status = pclose(pipe);
  decoded.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return decoded;
}

std::string TempCapture(const std::string &name) {
  return ::testing::TempDir() + "qav_tshark_" + std::to_string(getpid()) + "_" + name + ".pcap";
}

class TsharkDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    m_tshark = FindTshark();
    ASSERT_FALSE(m_tshark.empty()) << "tshark is not installed; install the Debian package 'tshark' "
                                      "(apt-get install -y tshark) to run the bus capture checks";
  }
  void TearDown() override {
    for (const std::string &path : m_files) std::remove(path.c_str());
  }

  // Writes the enumerations of `devices` (addresses 1, 2, ...) into one capture.
  std::string Capture(const std::string &name, const std::vector<DeviceDefinition> &devices) {
    const std::string path = TempCapture(name);
    m_files.push_back(path);
    PcapWriter writer;
    EXPECT_EQ(writer.Open(path), PcapStatus::Ok);
    for (size_t i = 0; i < devices.size(); ++i) {
      EnumerationCaptureOptions options;
      options.address = static_cast<uint8_t>(1 + i);
      options.startTime = static_cast<int64_t>(i) * 10'000'000;
      EXPECT_EQ(CaptureEnumeration(writer, devices[i], options), PcapStatus::Ok);
    }
    EXPECT_EQ(writer.Close(), PcapStatus::Ok);
    return path;
  }

  Decoded Run(const std::string &path) {
    Decoded decoded = Decode(m_tshark, path);
    EXPECT_EQ(decoded.exitCode, 0) << "tshark failed or timed out:\n" << decoded.text.substr(0, 2000);
    return decoded;
  }

  std::string m_tshark;
  std::vector<std::string> m_files;
};

DeviceDefinition Build(const DeviceModel &model) {
  const BuildResult result = BuildDevice(model);
  EXPECT_TRUE(result.Ok()) << model.name << ": " << result.detail;
  return result.definition;
}

std::string ExpertSummary(const Decoded &d) {
  const size_t at = d.text.rfind("Errors (");
  return at == std::string::npos ? d.text.substr(d.text.size() > 1500 ? d.text.size() - 1500 : 0)
                                 : d.text.substr(at, 1500);
}

TEST_F(TsharkDecode, EveryCatalogModelEnumeratesWithoutErrorOrMalformedItems) {
  for (const DeviceModel &model : Catalog()) {
    SCOPED_TRACE(model.name);
    std::vector<DeviceDefinition> devices = {Build(model), Build(FirmwareUpdateVariant(model))};
    const DeviceModel full = FullSpeedVariant(model);
    if (BuildDevice(full).Ok()) devices.push_back(Build(full));
    const Decoded decoded = Run(Capture(model.name, devices));
    EXPECT_FALSE(decoded.HasErrors()) << ExpertSummary(decoded);
    EXPECT_TRUE(decoded.Shows("INTERFACE ASSOCIATION DESCRIPTOR"));
    EXPECT_TRUE(decoded.Shows("Audio Control"));
    EXPECT_TRUE(decoded.Shows("Subtype: Clock source descriptor (0x0a)"));
    EXPECT_TRUE(decoded.Shows("Subtype: General AS Descriptor (0x01)"));
    EXPECT_TRUE(decoded.Shows("Subslot Size: "));
    EXPECT_TRUE(decoded.Shows(("bString: " + model.product).c_str()));
    if (model.selector) {
      EXPECT_TRUE(decoded.Shows("Subtype: Clock selector descriptor (0x0b)"));
    }
    if (model.midi) {
      EXPECT_TRUE(decoded.Shows("MIDI IN Jack descriptor"));
    }
  }
}

TEST_F(TsharkDecode, MalformedConfigurationsAreFlagged) {
  const DeviceDefinition larch = Build(*FindModel("Larch"));
  for (Corruption kind : {Corruption::ZeroLength, Corruption::OverlongLength, Corruption::TruncatedTotalLength}) {
    SCOPED_TRACE(CorruptionName(kind));
    DeviceDefinition bad = larch;
    bad.descriptors.configuration = CorruptConfiguration(larch.descriptors.configuration, kind).value();
    const Decoded decoded = Run(Capture("corrupt" + std::to_string(static_cast<int>(kind)), {bad}));
    EXPECT_TRUE(decoded.HasErrors()) << ExpertSummary(decoded);
  }
}

TEST_F(TsharkDecode, StreamingTransfersDecodeWithTheirIsoDescriptors) {
  const std::string path = TempCapture("streaming");
  m_files.push_back(path);
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  std::vector<uint8_t> audio(8 * 36);
  std::vector<winsim::usb::PcapIsoPacket> packets;
  for (uint32_t i = 0; i < 8; ++i) packets.push_back({0, i * 36, 36});
  for (uint8_t endpoint : {uint8_t{0x01}, uint8_t{0x81}}) {
    winsim::usb::PcapTransfer iso;
    iso.urbId = 0x1000 + endpoint;
    iso.kind = winsim::usb::UsbTransferKind::Isochronous;
    iso.endpoint = endpoint;
    iso.length = static_cast<uint32_t>(audio.size());
    iso.data = audio;
    iso.isoPackets = packets;
    iso.interval = 1;
    iso.startFrame = 100;
    ASSERT_EQ(writer.RecordSubmit(iso, 0), PcapStatus::Ok);
    ASSERT_EQ(writer.RecordComplete(iso, 10'000), PcapStatus::Ok);
  }
  const std::vector<uint8_t> midi = {0x09, 0x90, 0x3C, 0x64};
  const std::vector<uint8_t> status = {0x00, 0x01, 0x00, 0x01, 0x00, 0x29};
  winsim::usb::PcapTransfer bulk;
  bulk.urbId = 0x2000;
  bulk.kind = winsim::usb::UsbTransferKind::Bulk;
  bulk.endpoint = 0x02;
  bulk.length = 4;
  bulk.data = midi;
  winsim::usb::PcapTransfer interrupt;
  interrupt.urbId = 0x3000;
  interrupt.kind = winsim::usb::UsbTransferKind::Interrupt;
  interrupt.endpoint = 0x83;
  interrupt.length = 6;
  interrupt.interval = 4;
  interrupt.data = status;
  for (const auto *t : {&bulk, &interrupt}) {
    ASSERT_EQ(writer.RecordSubmit(*t, 20'000), PcapStatus::Ok);
    ASSERT_EQ(writer.RecordComplete(*t, 30'000), PcapStatus::Ok);
  }
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);
  const Decoded decoded = Run(path);
  EXPECT_FALSE(decoded.HasErrors()) << ExpertSummary(decoded);
  EXPECT_TRUE(decoded.Shows("URB_ISOCHRONOUS"));
  EXPECT_TRUE(decoded.Shows("USB isodesc 7 [Success] (36 bytes)"));
  EXPECT_TRUE(decoded.Shows("ISO Data: "));
  EXPECT_TRUE(decoded.Shows("URB_BULK"));
  EXPECT_TRUE(decoded.Shows("URB_INTERRUPT"));
}

}  // namespace
