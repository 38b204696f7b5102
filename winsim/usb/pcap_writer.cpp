#include "winsim/usb/pcap_writer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace winsim::usb {
namespace {

// The file and usbmon headers are written in host byte order; the pcap magic
// tells readers which order that is, and they read the usbmon header in it.
struct PcapFileHeader {
  uint32_t magic;
  uint16_t versionMajor;
  uint16_t versionMinor;
  int32_t thisZone;
  uint32_t sigFigs;
  uint32_t snapLength;
  uint32_t linkType;
};
static_assert(sizeof(PcapFileHeader) == 24);

struct PcapRecordHeader {
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t capturedLength;
  uint32_t originalLength;
};
static_assert(sizeof(PcapRecordHeader) == 16);

struct UsbmonIsoCounts {
  int32_t errorCount;
  int32_t descriptorCount;
};

struct UsbmonHeader {
  uint64_t id;
  uint8_t type;  // 'S', 'C' or 'E'
  uint8_t transferType;
  uint8_t endpoint;
  uint8_t device;
  uint16_t bus;
  char setupFlag;  // 0: setup present
  char dataFlag;   // 0: data present
  int64_t seconds;
  int32_t microseconds;
  int32_t status;
  uint32_t length;
  uint32_t capturedLength;
  union {
    uint8_t setup[8];
    UsbmonIsoCounts iso;
  } s;
  int32_t interval;
  int32_t startFrame;
  uint32_t transferFlags;
  uint32_t isoDescriptors;
};
static_assert(sizeof(UsbmonHeader) == 64);
static_assert(offsetof(UsbmonHeader, bus) == 12);
static_assert(offsetof(UsbmonHeader, seconds) == 16);
static_assert(offsetof(UsbmonHeader, status) == 28);
static_assert(offsetof(UsbmonHeader, capturedLength) == 36);
static_assert(offsetof(UsbmonHeader, s) == 40);
static_assert(offsetof(UsbmonHeader, interval) == 48);
static_assert(offsetof(UsbmonHeader, isoDescriptors) == 60);

struct UsbmonIsoDescriptor {
  int32_t status;
  uint32_t offset;
  uint32_t length;
  uint32_t padding;
};
static_assert(sizeof(UsbmonIsoDescriptor) == 16);

constexpr uint32_t kPcapMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t kSnapLength = 262144;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMicrosecond = 10;
constexpr size_t kFileBuffer = 1 << 16;

bool DirectionIn(const PcapTransfer &t) {
  if (t.kind == UsbTransferKind::Control) return (t.setup[0] & 0x80) != 0;
  return (t.endpoint & 0x80) != 0;
}

UsbmonHeader MakeHeader(const PcapTransfer &t, char type, int64_t time) {
  const bool in = DirectionIn(t);
  UsbmonHeader h;
  std::memset(&h, 0, sizeof h);
  h.id = t.urbId;
  h.type = static_cast<uint8_t>(type);
  h.transferType = static_cast<uint8_t>(t.kind);
  h.endpoint = static_cast<uint8_t>((t.endpoint & 0x7F) | (in ? 0x80 : 0));
  h.device = t.device;
  h.bus = t.bus;
  const bool setup = t.kind == UsbTransferKind::Control && type == 'S';
  h.setupFlag = setup ? 0 : '-';
  if (setup) std::memcpy(h.s.setup, t.setup.data(), sizeof h.s.setup);
  const int64_t clamped = std::max<int64_t>(time, 0);
  h.seconds = clamped / kTicksPerSecond;
  h.microseconds = static_cast<int32_t>((clamped % kTicksPerSecond) / kTicksPerMicrosecond);
  h.status = type == 'S' ? kUsbmonInProgress : t.status;
  h.length = t.length;
  const bool periodic = t.kind == UsbTransferKind::Interrupt || t.kind == UsbTransferKind::Isochronous;
  h.interval = periodic ? t.interval : 0;
  h.startFrame = t.kind == UsbTransferKind::Isochronous ? t.startFrame : 0;
  h.transferFlags = t.flags | (in ? kUrbDirIn : 0);
  return h;
}

}  // namespace

const char *PcapStatusName(PcapStatus status) {
  switch (status) {
    case PcapStatus::Ok: return "ok";
    case PcapStatus::NotOpen: return "not open";
    case PcapStatus::AlreadyOpen: return "already open";
    case PcapStatus::OpenFailed: return "open failed";
    case PcapStatus::WriteFailed: return "write failed";
    case PcapStatus::CloseFailed: return "close failed";
    case PcapStatus::InvalidTransfer: return "invalid transfer";
  }
  return "unknown";
}

PcapWriter::~PcapWriter() { Close(); }

PcapStatus PcapWriter::Open(const std::string &path) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file) return PcapStatus::AlreadyOpen;
  m_file = std::fopen(path.c_str(), "wb");
  if (!m_file) return PcapStatus::OpenFailed;
  std::setvbuf(m_file, nullptr, _IOFBF, kFileBuffer);
  m_error = PcapStatus::Ok;
  m_records = 0;
  const PcapFileHeader header = {kPcapMagicMicroseconds, 2, 4, 0, 0, kSnapLength, kLinkTypeUsbLinuxMmapped};
  return Write(&header, sizeof header);
}

PcapStatus PcapWriter::RecordSubmit(const PcapTransfer &transfer, int64_t time) { return Record(transfer, 'S', time); }

PcapStatus PcapWriter::RecordComplete(const PcapTransfer &transfer, int64_t time) {
  return Record(transfer, 'C', time);
}

PcapStatus PcapWriter::RecordSubmitError(const PcapTransfer &transfer, int64_t time) {
  return Record(transfer, 'E', time);
}

PcapStatus PcapWriter::Record(const PcapTransfer &transfer, char type, int64_t time) {
  const bool iso = transfer.kind == UsbTransferKind::Isochronous;
  if (!iso && !transfer.isoPackets.empty()) return PcapStatus::InvalidTransfer;
  for (const PcapIsoPacket &packet : transfer.isoPackets) {
    if (uint64_t{packet.offset} + packet.length > transfer.data.size() && !transfer.data.empty()) {
      return PcapStatus::InvalidTransfer;
    }
  }
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file) return PcapStatus::NotOpen;
  if (m_error != PcapStatus::Ok) return m_error;

  UsbmonHeader header = MakeHeader(transfer, type, time);
  const bool in = DirectionIn(transfer);
  const bool withData = (type == 'S' && !in) || (type == 'C' && in);
  header.dataFlag = withData ? 0 : (type == 'E' ? 'E' : (type == 'S' ? '<' : '>'));
  const size_t maxDescriptors = (kSnapLength - sizeof header) / sizeof(UsbmonIsoDescriptor);
  const size_t descriptors = std::min(transfer.isoPackets.size(), maxDescriptors);
  if (iso) {
    header.s.iso.errorCount = transfer.isoErrorCount;
    header.s.iso.descriptorCount = static_cast<int32_t>(transfer.isoPackets.size());
    header.isoDescriptors = static_cast<uint32_t>(descriptors);
  }
  const size_t dataBytes = withData ? transfer.data.size() : 0;
  const size_t room = kSnapLength - sizeof header - descriptors * sizeof(UsbmonIsoDescriptor);
  const size_t captured = std::min(dataBytes, room);
  header.capturedLength = static_cast<uint32_t>(captured);

  std::vector<uint8_t> event(sizeof header + descriptors * sizeof(UsbmonIsoDescriptor) + captured);
  std::memcpy(event.data(), &header, sizeof header);
  for (size_t i = 0; i < descriptors; ++i) {
    const PcapIsoPacket &p = transfer.isoPackets[i];
    const UsbmonIsoDescriptor d = {p.status, p.offset, p.length, 0};
    std::memcpy(event.data() + sizeof header + i * sizeof d, &d, sizeof d);
  }
  if (captured) std::memcpy(event.data() + event.size() - captured, transfer.data.data(), captured);

  const PcapRecordHeader record = {static_cast<uint32_t>(header.seconds), static_cast<uint32_t>(header.microseconds),
                                   static_cast<uint32_t>(event.size()),
                                   static_cast<uint32_t>(event.size() - captured + dataBytes)};
  if (PcapStatus status = Write(&record, sizeof record); status != PcapStatus::Ok) return status;
  if (PcapStatus status = Write(event.data(), event.size()); status != PcapStatus::Ok) return status;
  ++m_records;
  return PcapStatus::Ok;
}

// Caller holds m_lock.
PcapStatus PcapWriter::Write(const void *bytes, size_t size) {
  if (std::fwrite(bytes, 1, size, m_file) != size) m_error = PcapStatus::WriteFailed;
  return m_error;
}

PcapStatus PcapWriter::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file) return PcapStatus::Ok;
  const bool flushed = std::fflush(m_file) == 0;
  const bool closed = std::fclose(m_file) == 0;
  m_file = nullptr;
  const PcapStatus earlier = m_error;
  m_error = PcapStatus::Ok;
  if (earlier != PcapStatus::Ok) return earlier;
  return flushed && closed ? PcapStatus::Ok : PcapStatus::CloseFailed;
}

bool PcapWriter::IsOpen() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file != nullptr;
}

uint64_t PcapWriter::RecordsWritten() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_records;
}

}  // namespace winsim::usb
