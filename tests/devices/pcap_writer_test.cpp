// The bus capture writes usbmon records a pcap reader can take apart: file
// header, record headers, the 64-byte usbmon header with setup or iso
// fields, iso descriptors, data on the side usbmon puts it. Failures are
// statuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "winsim/usb/pcap_writer.h"

namespace {

using namespace winsim::usb;

std::string TempPath(const char *name) {
  return ::testing::TempDir() + "qav_pcap_" + std::to_string(getpid()) + "_" + name + ".pcap";
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
  return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}
int32_t I32(const std::vector<uint8_t> &b, size_t at) { return static_cast<int32_t>(U32(b, at)); }

// One pcap record: its header fields and the usbmon event.
struct Record {
  uint32_t seconds, microseconds, captured, original;
  std::vector<uint8_t> event;
};

std::vector<Record> Records(const std::vector<uint8_t> &file) {
  std::vector<Record> records;
  for (size_t pos = 24; pos + 16 <= file.size();) {
    Record r{U32(file, pos), U32(file, pos + 4), U32(file, pos + 8), U32(file, pos + 12), {}};
    pos += 16;
    if (pos + r.captured > file.size()) break;
    r.event.assign(file.begin() + static_cast<long long>(pos), file.begin() + static_cast<long long>(pos + r.captured));
    pos += r.captured;
    records.push_back(std::move(r));
  }
  return records;
}

PcapTransfer GetDeviceDescriptor() {
  PcapTransfer t;
  t.urbId = 0xFFFF888012345600ull;
  t.kind = UsbTransferKind::Control;
  t.device = 5;
  t.bus = 2;
  t.setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
  t.length = 18;
  return t;
}

TEST(PcapWriter, FileHeaderDeclaresUsbmonWithPaddedHeader) {
  const std::string path = TempPath("header");
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);
  const auto file = ReadFile(path);
  ASSERT_EQ(file.size(), 24u);
  EXPECT_EQ(U32(file, 0), 0xA1B2C3D4u);
  EXPECT_EQ(file[4] | file[5] << 8, 2);
  EXPECT_EQ(file[6] | file[7] << 8, 4);
  EXPECT_EQ(U32(file, 20), 220u);
  std::remove(path.c_str());
}

TEST(PcapWriter, ControlSubmissionCarriesSetupAndCompletionCarriesInData) {
  const std::string path = TempPath("control");
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  PcapTransfer t = GetDeviceDescriptor();
  ASSERT_EQ(writer.RecordSubmit(t, 12'345'678'901), PcapStatus::Ok);
  const std::vector<uint8_t> descriptor(18, 0xAB);
  t.data = descriptor;
  t.status = kUsbmonOk;
  ASSERT_EQ(writer.RecordComplete(t, 12'345'688'901), PcapStatus::Ok);
  EXPECT_EQ(writer.RecordsWritten(), 2u);
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);

  const auto records = Records(ReadFile(path));
  ASSERT_EQ(records.size(), 2u);
  const Record &s = records[0];
  EXPECT_EQ(s.seconds, 1234u);
  EXPECT_EQ(s.microseconds, 567890u);
  ASSERT_EQ(s.event.size(), 64u);
  EXPECT_EQ(U32(s.event, 0), 0x12345600u);
  EXPECT_EQ(s.event[8], 'S');
  EXPECT_EQ(s.event[9], 2);     // control
  EXPECT_EQ(s.event[10], 0x80);  // endpoint 0, IN
  EXPECT_EQ(s.event[11], 5);
  EXPECT_EQ(s.event[12], 2);
  EXPECT_EQ(s.event[14], 0);    // setup present
  EXPECT_EQ(s.event[15], '<');  // IN data comes with the completion
  EXPECT_EQ(U32(s.event, 16), 1234u);
  EXPECT_EQ(I32(s.event, 24), 567890);
  EXPECT_EQ(I32(s.event, 28), kUsbmonInProgress);
  EXPECT_EQ(U32(s.event, 32), 18u);
  EXPECT_EQ(U32(s.event, 36), 0u);
  EXPECT_EQ(std::vector<uint8_t>(s.event.begin() + 40, s.event.begin() + 48),
            (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0}));
  EXPECT_EQ(U32(s.event, 56), kUrbDirIn);

  const Record &c = records[1];
  ASSERT_EQ(c.event.size(), 64u + 18);
  EXPECT_EQ(c.event[8], 'C');
  EXPECT_EQ(c.event[14], '-');
  EXPECT_EQ(c.event[15], 0);
  EXPECT_EQ(I32(c.event, 28), 0);
  EXPECT_EQ(U32(c.event, 36), 18u);
  EXPECT_EQ(std::vector<uint8_t>(c.event.begin() + 64, c.event.end()), descriptor);
  EXPECT_EQ(c.microseconds, 568890u);
  std::remove(path.c_str());
}

TEST(PcapWriter, OutTransfersCarryDataWithTheSubmissionOnly) {
  const std::string path = TempPath("bulk");
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  PcapTransfer t;
  t.urbId = 7;
  t.kind = UsbTransferKind::Bulk;
  t.endpoint = 0x02;
  const std::vector<uint8_t> midi = {0x09, 0x90, 0x3C, 0x64};
  t.data = midi;
  t.length = 4;
  ASSERT_EQ(writer.RecordSubmit(t, 0), PcapStatus::Ok);
  ASSERT_EQ(writer.RecordComplete(t, 1250), PcapStatus::Ok);
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);
  const auto records = Records(ReadFile(path));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].event.size(), 68u);
  EXPECT_EQ(records[0].event[10], 0x02);
  EXPECT_EQ(records[0].event[14], '-');
  EXPECT_EQ(U32(records[0].event, 56), 0u);
  EXPECT_EQ(records[1].event.size(), 64u);
  EXPECT_EQ(records[1].event[15], '>');
  EXPECT_EQ(U32(records[1].event, 32), 4u);
  std::remove(path.c_str());
}

TEST(PcapWriter, IsochronousEventsListTheirPacketsBeforeTheData) {
  const std::string path = TempPath("iso");
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  std::vector<uint8_t> buffer(3 * 36);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i);
  const std::vector<PcapIsoPacket> packets = {{0, 0, 36}, {-71, 36, 30}, {0, 72, 36}};
  PcapTransfer t;
  t.urbId = 9;
  t.kind = UsbTransferKind::Isochronous;
  t.endpoint = 0x81;
  t.length = static_cast<uint32_t>(buffer.size());
  t.data = buffer;
  t.isoPackets = packets;
  t.interval = 1;
  t.startFrame = 1234;
  t.flags = kUrbIsoAsap;
  t.isoErrorCount = 1;
  t.status = kUsbmonPartialIso;
  ASSERT_EQ(writer.RecordSubmit(t, 0), PcapStatus::Ok);
  ASSERT_EQ(writer.RecordComplete(t, 30'000), PcapStatus::Ok);
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);
  const auto records = Records(ReadFile(path));
  ASSERT_EQ(records.size(), 2u);
  const auto &s = records[0].event;
  ASSERT_EQ(s.size(), 64u + 3 * 16);  // IN submission: descriptors, no data
  EXPECT_EQ(s[9], 0);
  EXPECT_EQ(I32(s, 44), 3);
  EXPECT_EQ(I32(s, 48), 1);
  EXPECT_EQ(I32(s, 52), 1234);
  EXPECT_EQ(U32(s, 56), kUrbIsoAsap | kUrbDirIn);
  EXPECT_EQ(U32(s, 60), 3u);
  const auto &c = records[1].event;
  ASSERT_EQ(c.size(), 64u + 3 * 16 + buffer.size());
  EXPECT_EQ(I32(c, 28), kUsbmonPartialIso);
  EXPECT_EQ(I32(c, 40), 1);
  EXPECT_EQ(I32(c, 64 + 16), -71);
  EXPECT_EQ(U32(c, 64 + 16 + 4), 36u);
  EXPECT_EQ(U32(c, 64 + 16 + 8), 30u);
  EXPECT_EQ(U32(c, 36), buffer.size());
  EXPECT_EQ(std::vector<uint8_t>(c.begin() + 64 + 48, c.end()), buffer);
  std::remove(path.c_str());
}

TEST(PcapWriter, EventsBeyondTheSnapshotLengthAreCutButKeepTheirLength) {
  const std::string path = TempPath("snap");
  PcapWriter writer;
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  const std::vector<uint8_t> big(300'000, 0x55);
  PcapTransfer t;
  t.kind = UsbTransferKind::Bulk;
  t.endpoint = 0x81;
  t.length = static_cast<uint32_t>(big.size());
  t.data = big;
  ASSERT_EQ(writer.RecordComplete(t, 0), PcapStatus::Ok);
  ASSERT_EQ(writer.Close(), PcapStatus::Ok);
  const auto records = Records(ReadFile(path));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].captured, 262144u);
  EXPECT_EQ(records[0].original, 64u + big.size());
  EXPECT_EQ(U32(records[0].event, 32), big.size());
  EXPECT_EQ(U32(records[0].event, 36), 262144u - 64);
  std::remove(path.c_str());
}

TEST(PcapWriter, ReportsMisuseAndFailuresAsStatus) {
  PcapWriter writer;
  EXPECT_EQ(writer.RecordSubmit(GetDeviceDescriptor(), 0), PcapStatus::NotOpen);
  EXPECT_EQ(writer.Open("/nonexistent-directory/x.pcap"), PcapStatus::OpenFailed);
  EXPECT_FALSE(writer.IsOpen());
  const std::string path = TempPath("misuse");
  ASSERT_EQ(writer.Open(path), PcapStatus::Ok);
  EXPECT_EQ(writer.Open(path), PcapStatus::AlreadyOpen);
  PcapTransfer t = GetDeviceDescriptor();
  const std::vector<PcapIsoPacket> packets = {{0, 0, 8}};
  t.isoPackets = packets;
  EXPECT_EQ(writer.RecordSubmit(t, 0), PcapStatus::InvalidTransfer) << "iso packets on a control transfer";
  PcapTransfer iso;
  iso.kind = UsbTransferKind::Isochronous;
  const std::vector<uint8_t> small(4);
  iso.data = small;
  iso.isoPackets = packets;
  EXPECT_EQ(writer.RecordSubmit(iso, 0), PcapStatus::InvalidTransfer) << "packet beyond the data";
  EXPECT_EQ(writer.Close(), PcapStatus::Ok);
  EXPECT_EQ(writer.Close(), PcapStatus::Ok);
  std::remove(path.c_str());
}

TEST(PcapWriter, AFullDiskSurfacesAsWriteOrCloseFailure) {
  PcapWriter writer;
  ASSERT_EQ(writer.Open("/dev/full"), PcapStatus::Ok);
  const std::vector<uint8_t> data(4096, 1);
  PcapTransfer t;
  t.kind = UsbTransferKind::Bulk;
  t.endpoint = 0x02;
  t.data = data;
  PcapStatus status = PcapStatus::Ok;
  for (int i = 0; i < 64 && status == PcapStatus::Ok; ++i) status = writer.RecordSubmit(t, i);
  EXPECT_EQ(status, PcapStatus::WriteFailed);
  EXPECT_EQ(writer.RecordSubmit(t, 0), PcapStatus::WriteFailed) << "the failure is latched";
  EXPECT_EQ(writer.Close(), PcapStatus::WriteFailed);
}

}  // namespace
