// Bus capture: transfers on the simulated bus written as a pcap file in the
// Linux usbmon format with the 64-byte header (link type 220), which
// Wireshark and tshark decode. Each transfer is recorded as a submission and
// a completion event sharing one URB id; control submissions carry the setup
// packet, iso events their per-packet descriptors.
//
// Thread safety: every call takes the writer's lock; submitters and the
// completion context may record concurrently. Errors are reported as status
// and latched: after a failed write the file is left as it is and further
// records fail with the same status until Close.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace winsim::usb {

enum class PcapStatus : uint8_t { Ok, NotOpen, AlreadyOpen, OpenFailed, WriteFailed, CloseFailed, InvalidTransfer };

const char *PcapStatusName(PcapStatus status);

inline constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;

enum class UsbTransferKind : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// usbmon reports URB status as a negative Linux errno.
inline constexpr int32_t kUsbmonOk = 0;
inline constexpr int32_t kUsbmonInProgress = -115;  // every submission
inline constexpr int32_t kUsbmonStall = -32;        // EPIPE
inline constexpr int32_t kUsbmonCancelled = -2;     // ENOENT: unlinked synchronously
inline constexpr int32_t kUsbmonRemoved = -108;     // ESHUTDOWN
inline constexpr int32_t kUsbmonTimedOut = -110;
inline constexpr int32_t kUsbmonPartialIso = -18;   // EXDEV: some iso packets failed

// URB transfer flags as usbmon copies them; the writer adds the direction.
inline constexpr uint32_t kUrbShortNotOk = 0x0001;
inline constexpr uint32_t kUrbIsoAsap = 0x0002;
inline constexpr uint32_t kUrbDirIn = 0x0200;

struct PcapIsoPacket {
  int32_t status = 0;
  uint32_t offset = 0;  // into the transfer's data
  uint32_t length = 0;  // submitted length, or actual length on completion
};

struct PcapTransfer {
  uint64_t urbId = 0;  // the same for a transfer's submission and completion
  UsbTransferKind kind = UsbTransferKind::Control;
  uint16_t bus = 1;
  uint8_t device = 1;
  uint8_t endpoint = 0;  // bEndpointAddress; for control the direction comes from the setup packet
  std::array<uint8_t, 8> setup{};  // control transfers only
  uint32_t length = 0;   // buffer length at submission, bytes transferred at completion
  // The transfer buffer. Recorded with the submission of an OUT transfer and
  // with the completion of an IN transfer, as usbmon does.
  std::span<const uint8_t> data;
  int32_t status = kUsbmonOk;  // completion and error events; submissions record kUsbmonInProgress
  int32_t interval = 0;        // interrupt and iso: in (micro)frames as the endpoint says
  int32_t startFrame = 0;      // iso
  uint32_t flags = 0;          // kUrb* flags
  int32_t isoErrorCount = 0;
  std::span<const PcapIsoPacket> isoPackets;
};

class PcapWriter {
 public:
  PcapWriter() = default;
  PcapWriter(const PcapWriter &) = delete;
  PcapWriter &operator=(const PcapWriter &) = delete;
  ~PcapWriter();

  PcapStatus Open(const std::string &path);
  // `time` is virtual time in 100 ns units; negative values are recorded as 0.
  PcapStatus RecordSubmit(const PcapTransfer &transfer, int64_t time);
  PcapStatus RecordComplete(const PcapTransfer &transfer, int64_t time);
  // A submission the host controller refused at once (usbmon's 'E' event).
  PcapStatus RecordSubmitError(const PcapTransfer &transfer, int64_t time);
  // Flushes and closes; Ok when not open.
  PcapStatus Close();

  bool IsOpen() const;
  uint64_t RecordsWritten() const;

 private:
  PcapStatus Record(const PcapTransfer &transfer, char type, int64_t time);
  PcapStatus Write(const void *bytes, size_t size);

  mutable std::mutex m_lock;
  std::FILE *m_file = nullptr;
  PcapStatus m_error = PcapStatus::Ok;
  uint64_t m_records = 0;
};

}  // namespace winsim::usb
