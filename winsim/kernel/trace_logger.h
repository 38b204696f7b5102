// The driver logger device: an outside component some machines have. It
// owns two ring buffers of trace records, "STND" and "REAL", and answers the
// logger protocol's I/O controls on \Device\BryntDriverLogger: its version,
// the buffers' system addresses (kernel callers), their user-mode mapping and
// a write-through control. User mode opens it through the symbolic link
// \DosDevices\BryntDriverLogger as "\\.\BryntDriverLogger". Tests and tools
// set its masks, trigger and countdown directly in the buffer headers, as the
// logger's own tools would.
//
// In winsim user mode shares the host address space, so the "mapping" of a
// buffer is its system address.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "uac2common/tracelog/logger_protocol.h"

namespace winsim {

struct TraceLoggerOptions {
  // First word of the version answer; another value makes clients give up.
  uint32_t version = kLoggerProtocolVersion;
  // Records per buffer: 2^log2 (1 to 2^20).
  uint32_t standardRecordsLog2 = 14;
  uint32_t realTimeRecordsLog2 = 14;
  // Initial enabled masks of both buffers, and trigger mask.
  uint32_t kernelMask = 0xFFFFFFFFu;
  uint32_t userMask = 0xFFFFFFFFu;
  uint32_t triggerMask = 0;
  // Called as the machine shuts the logger down, with the buffers still
  // readable (a tool collects the records of a run here).
  std::function<void(class TraceLogger &)> onShutdown;
};

// Options of a logger every Machine created from now on starts with unless
// its own options name one (tools that run machines they do not build
// themselves); none when absent.
void SetDefaultTraceLogger(std::optional<TraceLoggerOptions> options);
const std::optional<TraceLoggerOptions> &DefaultTraceLogger();

class TraceLogger {
 public:
  // Loads the logger's driver and creates its named device. PASSIVE_LEVEL,
  // on a running Machine (which owns the logger: see Machine::StartTraceLogger).
  explicit TraceLogger(const TraceLoggerOptions &options);
  ~TraceLogger();
  TraceLogger(const TraceLogger &) = delete;
  TraceLogger &operator=(const TraceLogger &) = delete;

  // The logger of the running machine, or null.
  static TraceLogger *Active();

  const TraceLoggerOptions &Options() const { return m_options; }
  // The buffer of a tag (kLoggerTagStandard / kLoggerTagRealTime); null for another tag.
  LoggerBufferHeader *Buffer(uint32_t tag);
  LoggerBufferHeader &Standard() { return *m_standard.header; }
  LoggerBufferHeader &RealTime() { return *m_realTime.header; }
  TraceRecord *Records(const LoggerBufferHeader &header);

  // Both buffers' kernel and user masks at once.
  void SetMasks(uint32_t kernelMask, uint32_t userMask);
  void SetTrigger(uint32_t triggerMask);
  // The version the logger answers from now on.
  void SetVersion(uint32_t version) { __atomic_store_n(&m_options.version, version, __ATOMIC_RELAXED); }
  uint32_t Version() const { return __atomic_load_n(&m_options.version, __ATOMIC_RELAXED); }
  // Empties both buffers (counter, records, countdown); masks stay.
  void Clear();

  // The write-through control's record writer (also used by tests): the
  // protocol's slot claim, flags last, trigger and countdown.
  void WriteRecord(LoggerBufferHeader &header, uint32_t flags, uint32_t messageId, const uint32_t *arguments);

 private:
  // The buffers are cache-line aligned, as a logger's non-paged buffers are;
  // what an aligned new[] gave must go back through the aligned delete[].
  struct AlignedDelete {
    void operator()(uint8_t *memory) const { ::operator delete[](memory, std::align_val_t{64}); }
  };
  struct Ring {
    std::unique_ptr<uint8_t[], AlignedDelete> memory;
    LoggerBufferHeader *header = nullptr;
  };
  static Ring MakeRing(uint32_t tag, uint32_t log2, const TraceLoggerOptions &options);

  TraceLoggerOptions m_options;
  Ring m_standard;
  Ring m_realTime;
  PDRIVER_OBJECT m_driver = nullptr;
  PDEVICE_OBJECT m_device = nullptr;
  bool m_linked = false;
};

}  // namespace winsim
