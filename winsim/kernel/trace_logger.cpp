#include "winsim/kernel/trace_logger.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "winsim/kernel/io_driver.h"
#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/pool.h"

namespace winsim {
namespace {

TraceLogger *g_active = nullptr;

std::optional<TraceLoggerOptions> &DefaultOptions() {
  static std::optional<TraceLoggerOptions> options;
  return options;
}

// The DOS device name behind QAV_LOGGER_USER_PATH.
const WCHAR kUserLinkName[] = u"\\DosDevices\\BryntDriverLogger";

// Record arrays start on a cache line after the header.
constexpr uint32_t kRecordsOffset = 128;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS AnswerAddress(PIRP irp, ULONG inLength, ULONG outLength, const void *buffer, void *system) {
  if (inLength < sizeof(ULONG) || outLength < sizeof(unsigned long long)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  TraceLogger *logger = g_active;
  ULONG tag;
  std::memcpy(&tag, buffer, sizeof tag);
  LoggerBufferHeader *header = logger->Buffer(tag);
  if (header == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  unsigned long long address = reinterpret_cast<uintptr_t>(header);
  std::memcpy(system, &address, sizeof address);
  return Complete(irp, STATUS_SUCCESS, sizeof address);
}

NTSTATUS WriteThrough(PIRP irp, ULONG inLength, ULONG outLength, void *system) {
  if (inLength < sizeof(LoggerWriteRequest) || outLength < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  LoggerWriteRequest request;
  std::memcpy(&request, system, sizeof request);
  LoggerBufferHeader *header = g_active->Buffer(request.Tag);
  if (header == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  uint32_t written = 0;
  // A user-mode record is written only when its flags are all enabled in the
  // user mask (of the standard buffer, the one user mode reads).
  const uint32_t userMask = __atomic_load_n(&g_active->Standard().UserEnableMask, __ATOMIC_RELAXED);
  if ((userMask & request.Flags) == request.Flags) {
    uint32_t arguments[kTraceRecordArguments];
    for (uint32_t i = 0; i < 4; ++i) {
      arguments[2 * i] = static_cast<uint32_t>(request.Arguments[i]);
      arguments[2 * i + 1] = static_cast<uint32_t>(request.Arguments[i] >> 32);
    }
    g_active->WriteRecord(*header, request.Flags, request.MessageId, arguments);
    written = 1;
  }
  std::memcpy(system, &written, sizeof written);
  return Complete(irp, STATUS_SUCCESS, sizeof written);
}

NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void *system = irp->AssociatedIrp.SystemBuffer;
  const bool internal = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  if (code == kIoctlLoggerQueryVersion) {
    if (outLength < sizeof(LoggerVersionAnswer)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    LoggerVersionAnswer answer{g_active->Version(), {0, 0, 0}};
    std::memcpy(system, &answer, sizeof answer);
    return Complete(irp, STATUS_SUCCESS, sizeof answer);
  }
  // System addresses go to kernel callers only, mappings to user callers only.
  if (code == kIoctlLoggerGetSystemBuffer && internal && irp->RequestorMode == KernelMode) {
    return AnswerAddress(irp, inLength, outLength, system, system);
  }
  if (code == kIoctlLoggerMapUserBuffer && !internal) return AnswerAddress(irp, inLength, outLength, system, system);
  if (code == kIoctlLoggerWriteRecord && !internal) return WriteThrough(irp, inLength, outLength, system);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return DeviceControl(irp, stack);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &major : driver->MajorFunction) major = Dispatch;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

TraceLogger::Ring TraceLogger::MakeRing(uint32_t tag, uint32_t log2, const TraceLoggerOptions &options) {
  log2 = std::clamp<uint32_t>(log2, 0, 20);
  const size_t count = size_t{1} << log2;
  Ring ring;
  ring.memory.reset(new (std::align_val_t{64}) uint8_t[kRecordsOffset + count * sizeof(TraceRecord)]());
  ring.header = reinterpret_cast<LoggerBufferHeader *>(ring.memory.get());
  LoggerBufferHeader &header = *ring.header;
  header.Tag = tag;
  header.HeaderSize = sizeof(LoggerBufferHeader);
  header.RecordSize = sizeof(TraceRecord);
  header.RecordsOffset = kRecordsOffset;
  header.RecordArray = reinterpret_cast<uintptr_t>(ring.memory.get() + kRecordsOffset);
  header.IndexMask = static_cast<uint32_t>(count - 1);
  header.KernelEnableMask = options.kernelMask;
  header.UserEnableMask = options.userMask;
  header.TriggerMask = options.triggerMask;
  return ring;
}

TraceLogger::TraceLogger(const TraceLoggerOptions &options)
    : m_options(options),
      m_standard(MakeRing(kLoggerTagStandard, options.standardRecordsLog2, options)),
      m_realTime(MakeRing(kLoggerTagRealTime, options.realTimeRecordsLog2, options)) {
  g_active = this;
  m_driver = LoadDriver(Entry, u"BryntDriverLogger");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"" QAV_LOGGER_DEVICE_NAME);
  if (IoCreateDevice(m_driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device) == STATUS_SUCCESS) {
    // The logger outlives every driver under test: its device is not theirs to leak.
    Pool::Instance().MarkMachineOwned(m_device);
    m_device->Flags |= DO_BUFFERED_IO;
    m_device->Flags &= ~DO_DEVICE_INITIALIZING;
    // User-mode clients open it by its DOS device name.
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kUserLinkName);
    m_linked = IoCreateSymbolicLink(&link, &name) == STATUS_SUCCESS;
  }
}

// A client still holding the device open (a driver the machine never
// unloaded) keeps the device: the machine then forgets it with the rest.
TraceLogger::~TraceLogger() {
  if (m_options.onShutdown) m_options.onShutdown(*this);
  if (m_linked) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kUserLinkName);
    IoDeleteSymbolicLink(&link);
  }
  if (OpenKernelFileHandles() == 0) {
    if (m_device != nullptr) IoDeleteDevice(m_device);
    if (m_driver != nullptr) UnloadDriver(m_driver);
  }
  g_active = nullptr;
}

TraceLogger *TraceLogger::Active() { return g_active; }

void SetDefaultTraceLogger(std::optional<TraceLoggerOptions> options) { DefaultOptions() = std::move(options); }
const std::optional<TraceLoggerOptions> &DefaultTraceLogger() { return DefaultOptions(); }

LoggerBufferHeader *TraceLogger::Buffer(uint32_t tag) {
  if (tag == kLoggerTagStandard) return m_standard.header;
  if (tag == kLoggerTagRealTime) return m_realTime.header;
  return nullptr;
}

TraceRecord *TraceLogger::Records(const LoggerBufferHeader &header) {
  return reinterpret_cast<TraceRecord *>(reinterpret_cast<uintptr_t>(&header) + header.RecordsOffset);
}

void TraceLogger::SetMasks(uint32_t kernelMask, uint32_t userMask) {
  for (LoggerBufferHeader *header : {m_standard.header, m_realTime.header}) {
    __atomic_store_n(&header->KernelEnableMask, kernelMask, __ATOMIC_RELAXED);
    __atomic_store_n(&header->UserEnableMask, userMask, __ATOMIC_RELAXED);
  }
}

void TraceLogger::SetTrigger(uint32_t triggerMask) {
  for (LoggerBufferHeader *header : {m_standard.header, m_realTime.header}) {
    __atomic_store_n(&header->TriggerMask, triggerMask, __ATOMIC_RELAXED);
  }
}

void TraceLogger::Clear() {
  for (LoggerBufferHeader *header : {m_standard.header, m_realTime.header}) {
    std::memset(Records(*header), 0, (size_t{header->IndexMask} + 1) * sizeof(TraceRecord));
    __atomic_store_n(&header->WriteCounter, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&header->PostTriggerCountdown, 0u, __ATOMIC_RELAXED);
  }
}

void TraceLogger::WriteRecord(LoggerBufferHeader &header, uint32_t flags, uint32_t messageId,
                              const uint32_t *arguments) {
  const uint32_t n = __atomic_add_fetch(&header.WriteCounter, 1u, __ATOMIC_SEQ_CST);
  TraceRecord &record = Records(header)[(n - 1) & header.IndexMask];
  __atomic_store_n(&record.Flags, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&record.InterruptTime, static_cast<unsigned long long>(KeQueryInterruptTime()), __ATOMIC_RELAXED);
  __atomic_store_n(&record.MessageId, messageId, __ATOMIC_RELAXED);
  for (uint32_t i = 0; i < kTraceRecordArguments; ++i) {
    __atomic_store_n(&record.Arguments[i], arguments[i], __ATOMIC_RELAXED);
  }
  __atomic_store_n(&record.Flags, flags, __ATOMIC_RELEASE);
  if ((flags & __atomic_load_n(&header.TriggerMask, __ATOMIC_RELAXED)) != 0) {
    uint32_t idle = 0;
    if (__atomic_compare_exchange_n(&header.PostTriggerCountdown, &idle, kTracePostTriggerRecords, false,
                                    __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      return;  // the triggering record does not count
    }
  }
  uint32_t left = __atomic_load_n(&header.PostTriggerCountdown, __ATOMIC_RELAXED);
  while (left != 0) {
    if (__atomic_compare_exchange_n(&header.PostTriggerCountdown, &left, left - 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_RELAXED)) {
      if (left == 1) SetMasks(0, 0);
      break;
    }
  }
}

}  // namespace winsim
