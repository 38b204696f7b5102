#include "winsim/usb/pcap_capture.h"

#include <usb.h>

#include <algorithm>
#include <span>
#include <vector>

#include "winsim/usb/host_controller.h"

namespace winsim::usb {
namespace {

// Linux errno values usbmon reports beside the writer's own constants.
constexpr int32_t kUsbmonCrc = -84;        // EILSEQ
constexpr int32_t kUsbmonProtocol = -71;   // EPROTO
constexpr int32_t kUsbmonShort = -121;     // EREMOTEIO

UsbTransferKind KindOf(TransferKind kind) {
  switch (kind) {
    case TransferKind::Control: return UsbTransferKind::Control;
    case TransferKind::Isochronous: return UsbTransferKind::Isochronous;
    case TransferKind::Bulk: return UsbTransferKind::Bulk;
    case TransferKind::Interrupt: return UsbTransferKind::Interrupt;
  }
  return UsbTransferKind::Control;
}

bool DirectionIn(const Transfer &t) {
  if (t.kind == TransferKind::Control) return (t.setup.bmRequestType & kRequestDirectionIn) != 0;
  return (t.endpoint & 0x80) != 0;
}

std::array<uint8_t, 8> SetupBytes(const SetupPacket &s) {
  return {s.bmRequestType,
          s.bRequest,
          static_cast<uint8_t>(s.wValue),
          static_cast<uint8_t>(s.wValue >> 8),
          static_cast<uint8_t>(s.wIndex),
          static_cast<uint8_t>(s.wIndex >> 8),
          static_cast<uint8_t>(s.wLength),
          static_cast<uint8_t>(s.wLength >> 8)};
}

// Room of packet i: up to the next packet's offset, the last up to the end.
uint32_t PacketRoom(const Transfer &t, uint32_t i) {
  uint32_t end = i + 1 < t.packetCount ? t.packets[i + 1].offset : t.length;
  return end > t.packets[i].offset ? end - t.packets[i].offset : 0;
}

int32_t PacketStatus(int32_t usbd) {
  if (usbd == USBD_STATUS_SUCCESS) return kUsbmonOk;
  if (usbd == USBD_STATUS_PENDING || usbd == USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) return kUsbmonPartialIso;
  return PcapCapture::UsbmonStatus(usbd);
}

PcapTransfer Describe(uint32_t bus, int port, const Transfer &t, bool highSpeed) {
  PcapTransfer p;
  p.urbId = reinterpret_cast<uint64_t>(&t);
  p.kind = KindOf(t.kind);
  p.bus = static_cast<uint16_t>(bus);
  p.device = PcapCapture::DeviceAddress(port);
  p.endpoint = t.endpoint;
  if (t.kind == TransferKind::Control) p.setup = SetupBytes(t.setup);
  bool periodic = t.kind == TransferKind::Isochronous || t.kind == TransferKind::Interrupt;
  if (periodic) p.interval = static_cast<int32_t>(highSpeed ? t.intervalMicroframes : t.intervalMicroframes / 8);
  if (t.kind == TransferKind::Isochronous) {
    p.startFrame = static_cast<int32_t>(t.startFrame);
    p.flags = t.asap ? kUrbIsoAsap : 0;
  }
  return p;
}

}  // namespace

PcapStatus PcapCapture::Open(const std::string &path) {
  PcapStatus status = m_writer.Open(path);
  std::lock_guard<std::mutex> guard(m_lock);
  m_error = status;
  return status;
}

PcapStatus PcapCapture::Close() {
  PcapStatus closed = m_writer.Close();
  std::lock_guard<std::mutex> guard(m_lock);
  PcapStatus earlier = m_error;
  m_error = PcapStatus::Ok;
  return earlier != PcapStatus::Ok ? earlier : closed;
}

PcapStatus PcapCapture::Status() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_error;
}

void PcapCapture::Note(PcapStatus status) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_error == PcapStatus::Ok) m_error = status;
}

void PcapCapture::SetDeviceSpeed(uint32_t bus, int port, BusSpeed speed) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_speeds[{bus, port}] = speed;
}

bool PcapCapture::HighSpeed(uint32_t bus, int port) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_speeds.find({bus, port});
  return it == m_speeds.end() || it->second == BusSpeed::High;
}

uint8_t PcapCapture::DeviceAddress(int port) { return static_cast<uint8_t>((port - 1) % 127 + 1); }

int32_t PcapCapture::UsbmonStatus(int32_t usbdStatus) {
  switch (usbdStatus) {
    case USBD_STATUS_SUCCESS: return kUsbmonOk;
    case USBD_STATUS_STALL_PID: return kUsbmonStall;
    case USBD_STATUS_CANCELED: return kUsbmonCancelled;
    case USBD_STATUS_DEVICE_GONE: return kUsbmonRemoved;
    case USBD_STATUS_DEV_NOT_RESPONDING: return kUsbmonTimedOut;
    case USBD_STATUS_ISOCH_REQUEST_FAILED: return kUsbmonPartialIso;
    case USBD_STATUS_CRC: return kUsbmonCrc;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return kUsbmonShort;
    default: return kUsbmonProtocol;
  }
}

void PcapCapture::Submitted(uint32_t bus, int port, const Transfer &t, VTime now) {
  PcapTransfer p = Describe(bus, port, t, HighSpeed(bus, port));
  p.length = t.length;
  if (!DirectionIn(t) && t.buffer != nullptr) p.data = std::span<const uint8_t>(t.buffer, t.length);
  std::vector<PcapIsoPacket> packets;
  for (uint32_t i = 0; t.kind == TransferKind::Isochronous && i < t.packetCount; ++i) {
    packets.push_back({kUsbmonOk, t.packets[i].offset, PacketRoom(t, i)});
  }
  p.isoPackets = packets;
  PcapStatus status = m_writer.RecordSubmit(p, now);
  if (status != PcapStatus::Ok) Note(status);
}

void PcapCapture::Completed(uint32_t bus, int port, const Transfer &t, VTime now) {
  PcapTransfer p = Describe(bus, port, t, HighSpeed(bus, port));
  bool in = DirectionIn(t);
  p.length = t.actualLength;
  p.status = UsbmonStatus(t.status);
  std::vector<PcapIsoPacket> packets;
  uint32_t dataEnd = t.actualLength;
  if (t.kind == TransferKind::Isochronous) {
    dataEnd = 0;
    for (uint32_t i = 0; i < t.packetCount; ++i) {
      const IsoPacket &packet = t.packets[i];
      uint32_t moved = packet.status != USBD_STATUS_SUCCESS ? 0 : (in ? packet.length : PacketRoom(t, i));
      packets.push_back({PacketStatus(packet.status), packet.offset, moved});
      if (moved != 0) dataEnd = std::max(dataEnd, packet.offset + moved);
    }
    p.isoErrorCount = static_cast<int32_t>(t.errorCount);
    if (t.status == USBD_STATUS_SUCCESS && t.errorCount != 0) p.status = kUsbmonPartialIso;
  }
  if (in && t.buffer != nullptr) p.data = std::span<const uint8_t>(t.buffer, std::min(dataEnd, t.length));
  p.isoPackets = packets;
  PcapStatus status = m_writer.RecordComplete(p, now);
  if (status != PcapStatus::Ok) Note(status);
}

}  // namespace winsim::usb
