// Opening and closing the logger. PASSIVE_LEVEL only (driver entry, unload).
#include "kerneldriver/trace/trace_log.h"

namespace {

// Where the masks point while the logger is not open: trace points read 0.
unsigned int g_standardOff = 0;
unsigned int g_realTimeOff = 0;

// One logger I/O control, sent synchronously. Succeeds only when the logger
// answered with at least outLength bytes.
NTSTATUS SendLoggerControl(ULONG code, PVOID input, ULONG inLength, PVOID output, ULONG outLength, bool internal) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io = {};
  PIRP irp = IoBuildDeviceIoControlRequest(code, g_traceLog.deviceObject, input, inLength, output, outLength,
                                           internal ? TRUE : FALSE, &done, &io);
  if (irp == nullptr) return STATUS_UNSUCCESSFUL;
  IoGetNextIrpStackLocation(irp)->FileObject = g_traceLog.fileObject;
  NTSTATUS status = IoCallDriver(g_traceLog.deviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  if (!NT_SUCCESS(status) || io.Information < outLength) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS FetchBuffer(unsigned int tag, LoggerBufferHeader **buffer) {
  ULONGLONG address = 0;
  NTSTATUS status = SendLoggerControl(kIoctlLoggerGetSystemBuffer, &tag, sizeof tag, &address, sizeof address, true);
  if (!NT_SUCCESS(status) || address == 0) return STATUS_UNSUCCESSFUL;
  *buffer = reinterpret_cast<LoggerBufferHeader *>(static_cast<ULONG_PTR>(address));
  return STATUS_SUCCESS;
}

NTSTATUS OpenLoggerFile() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, QAV_W(QAV_LOGGER_DEVICE_NAME));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  NTSTATUS status = ZwOpenFile(&handle, STANDARD_RIGHTS_ALL, &attributes, &io, 0, FILE_NON_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  PVOID object = nullptr;
  status = ObReferenceObjectByHandle(handle, FILE_ALL_ACCESS, *IoFileObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    ZwClose(handle);
    return STATUS_UNSUCCESSFUL;
  }
  g_traceLog.fileHandle = handle;
  g_traceLog.fileObject = static_cast<PFILE_OBJECT>(object);
  g_traceLog.deviceObject = IoGetRelatedDeviceObject(g_traceLog.fileObject);
  return STATUS_SUCCESS;
}

void ReleaseLoggerFile() {
  if (g_traceLog.fileHandle != nullptr) ZwClose(g_traceLog.fileHandle);
  if (g_traceLog.fileObject != nullptr) ObDereferenceObject(g_traceLog.fileObject);
  g_traceLog.fileHandle = nullptr;
  g_traceLog.fileObject = nullptr;
  g_traceLog.deviceObject = nullptr;
  g_traceLog.standard = nullptr;
  g_traceLog.realTime = nullptr;
}

NTSTATUS QueryBuffers() {
  LoggerVersionAnswer answer = {};
  NTSTATUS status = SendLoggerControl(kIoctlLoggerQueryVersion, nullptr, 0, &answer, sizeof answer, false);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  if (answer.Version != kLoggerProtocolVersion) return STATUS_REVISION_MISMATCH;
  LoggerBufferHeader *standard = nullptr;
  LoggerBufferHeader *realTime = nullptr;
  status = FetchBuffer(kLoggerTagStandard, &standard);
  if (NT_SUCCESS(status)) status = FetchBuffer(kLoggerTagRealTime, &realTime);
  if (!NT_SUCCESS(status)) return status;
  g_traceLog.standard = standard;
  g_traceLog.realTime = realTime;
  return STATUS_SUCCESS;
}

}  // namespace

constinit TraceLogClient g_traceLog = {nullptr, nullptr, nullptr, nullptr, nullptr, &g_standardOff, &g_realTimeOff};

void TraceLogInitialize() {
  g_traceLog = {nullptr, nullptr, nullptr, nullptr, nullptr, &g_standardOff, &g_realTimeOff};
}

NTSTATUS TraceLogOpen() {
  if (g_traceLog.fileObject != nullptr) return STATUS_SUCCESS;
  g_traceLog.standardMask = &g_standardOff;
  g_traceLog.realTimeMask = &g_realTimeOff;
  NTSTATUS status = OpenLoggerFile();
  if (!NT_SUCCESS(status)) return status;
  status = QueryBuffers();
  if (!NT_SUCCESS(status)) {
    ReleaseLoggerFile();
    return status;
  }
  // Last: trace points start writing once the buffers are known.
  __atomic_store_n(&g_traceLog.realTimeMask, &g_traceLog.realTime->KernelEnableMask, __ATOMIC_RELEASE);
  __atomic_store_n(&g_traceLog.standardMask, &g_traceLog.standard->KernelEnableMask, __ATOMIC_RELEASE);
  return STATUS_SUCCESS;
}

void TraceLogClose() {
  __atomic_store_n(&g_traceLog.standardMask, &g_standardOff, __ATOMIC_RELEASE);
  __atomic_store_n(&g_traceLog.realTimeMask, &g_realTimeOff, __ATOMIC_RELEASE);
  ReleaseLoggerFile();
}
