// The simulated driver logger device and the kernel file handles its clients
// open: the protocol's answers, what it refuses, and the rules ZwOpenFile and
// ZwClose enforce.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

// A kernel client of the logger for the tests: an open handle, its file
// object and the device its requests go to.
struct LoggerClient {
  HANDLE handle = nullptr;
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;

  NTSTATUS Open(ULONG attributes = OBJ_KERNEL_HANDLE) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\BryntDriverLogger");
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, attributes, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwOpenFile(&handle, STANDARD_RIGHTS_ALL, &object, &io, 0, FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status)) return status;
    PVOID referenced = nullptr;
    status = ObReferenceObjectByHandle(handle, FILE_ALL_ACCESS, *IoFileObjectType, KernelMode, &referenced, nullptr);
    file = static_cast<PFILE_OBJECT>(referenced);
    device = IoGetRelatedDeviceObject(file);
    return status;
  }
  void Close() {
    ObDereferenceObject(file);
    ZwClose(handle);
  }
  NTSTATUS Control(ULONG code, bool internal, const void *in, ULONG inLength, void *out, ULONG outLength,
                   ULONG_PTR *information = nullptr) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void *>(in), inLength, out, outLength,
                                             internal ? TRUE : FALSE, &done, &io);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = io.Status;
    }
    if (information != nullptr) *information = io.Information;
    return status;
  }
};

TEST(TraceLogger, APlainMachineHasNoLoggerAndItsNameIsNotFound) {
  Machine machine;
  EXPECT_EQ(machine.TraceLog(), nullptr);
  LoggerClient client;
  EXPECT_EQ(client.Open(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(client.handle, nullptr);
}

TEST(TraceLogger, AnswersTheProtocolsControls) {
  MachineOptions options;
  options.traceLogger = TraceLoggerOptions{};
  options.traceLogger->standardRecordsLog2 = 5;
  options.traceLogger->realTimeRecordsLog2 = 7;
  Machine machine(options);
  ASSERT_NE(machine.TraceLog(), nullptr);
  EXPECT_FALSE(machine.StartTraceLogger()) << "one logger per machine";
  LoggerClient client;
  ASSERT_EQ(client.Open(), STATUS_SUCCESS);

  LoggerVersionAnswer version{};
  EXPECT_EQ(client.Control(kIoctlLoggerQueryVersion, false, nullptr, 0, &version, sizeof version), STATUS_SUCCESS);
  EXPECT_EQ(version.Version, 0x3006u);

  struct Case {
    const char *what;
    ULONG code;
    bool internal;
    unsigned int tag;
    ULONG outLength;
    NTSTATUS status;
    LoggerBufferHeader *expected;
  } cases[] = {
      {"standard, kernel", kIoctlLoggerGetSystemBuffer, true, kLoggerTagStandard, 8, STATUS_SUCCESS,
       &machine.TraceLog()->Standard()},
      {"real-time, kernel", kIoctlLoggerGetSystemBuffer, true, kLoggerTagRealTime, 8, STATUS_SUCCESS,
       &machine.TraceLog()->RealTime()},
      {"system address as a plain control", kIoctlLoggerGetSystemBuffer, false, kLoggerTagStandard, 8,
       STATUS_INVALID_DEVICE_REQUEST, nullptr},
      {"mapping as an internal control", kIoctlLoggerMapUserBuffer, true, kLoggerTagStandard, 8,
       STATUS_INVALID_DEVICE_REQUEST, nullptr},
      {"mapping", kIoctlLoggerMapUserBuffer, false, kLoggerTagRealTime, 8, STATUS_SUCCESS,
       &machine.TraceLog()->RealTime()},
      {"unknown tag", kIoctlLoggerGetSystemBuffer, true, LoggerTag('X', 'X', 'X', 'X'), 8, STATUS_INVALID_PARAMETER,
       nullptr},
      {"short output", kIoctlLoggerGetSystemBuffer, true, kLoggerTagStandard, 4, STATUS_BUFFER_TOO_SMALL, nullptr},
      {"unknown control", LoggerControlCode(0x8FF), false, kLoggerTagStandard, 8, STATUS_INVALID_DEVICE_REQUEST,
       nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unsigned long long address = 0;
    EXPECT_EQ(client.Control(c.code, c.internal, &c.tag, sizeof c.tag, &address, c.outLength), c.status);
    if (c.expected != nullptr) {
      EXPECT_EQ(address, reinterpret_cast<uintptr_t>(c.expected));
    }
  }
  LoggerBufferHeader &standard = machine.TraceLog()->Standard();
  EXPECT_EQ(standard.Tag, kLoggerTagStandard);
  EXPECT_EQ(standard.IndexMask, 31u);
  EXPECT_EQ(machine.TraceLog()->RealTime().IndexMask, 127u);
  EXPECT_EQ(standard.RecordArray, reinterpret_cast<uintptr_t>(machine.TraceLog()->Records(standard)));
  client.Close();
  EXPECT_EQ(OpenKernelFileHandles(), 0u);
}

TEST(TraceLogger, TheWriteThroughControlWritesUnderTheUserMask) {
  Machine machine;
  ASSERT_TRUE(machine.StartTraceLogger());
  TraceLogger &logger = *machine.TraceLog();
  LoggerClient client;
  ASSERT_EQ(client.Open(), STATUS_SUCCESS);
  LoggerWriteRequest request{};
  request.Tag = kLoggerTagStandard;
  request.MessageId = 77;
  request.Flags = kTraceLevelEvent | kTraceAreaUserMode;
  request.Arguments[0] = 0x1111111122222222ull;
  request.Arguments[3] = 5;
  ULONG written = 9;
  for (uint32_t userMask : {0xFFFFFFFFu, static_cast<uint32_t>(kTraceLevelEvent)}) {
    logger.SetMasks(0xFFFFFFFFu, userMask);
    EXPECT_EQ(client.Control(kIoctlLoggerWriteRecord, false, &request, sizeof request, &written, sizeof written),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(client.Control(kIoctlLoggerWriteRecord, false, &request, 40, &written, sizeof written),
            STATUS_BUFFER_TOO_SMALL);
  auto records = ReadLogger(logger);
  ASSERT_EQ(records.size(), 1u) << "the second write was masked out";
  EXPECT_EQ(records[0].record.MessageId, 77u);
  const unsigned int expected[8] = {0x22222222, 0x11111111, 0, 0, 0, 0, 5, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(records[0].record.Arguments[i], expected[i]) << i;
  client.Close();
}

TEST(TraceLogger, TheDecoderMergesBothBuffersInTimeOrder) {
  Machine machine;
  ASSERT_TRUE(machine.StartTraceLogger());
  TraceLogger &logger = *machine.TraceLog();
  const unsigned int none[8] = {};
  const char *order = "SRRSR";
  for (const char *c = order; *c != '\0'; ++c) {
    machine.RunFor(10);
    logger.WriteRecord(*c == 'S' ? logger.Standard() : logger.RealTime(), kTraceLevelEvent | kTraceAreaDevice,
                       static_cast<unsigned>(c - order + 1), none);
  }
  auto records = ReadLogger(logger);
  ASSERT_EQ(records.size(), 5u);
  for (unsigned int i = 0; i < 5; ++i) {
    EXPECT_EQ(records[i].record.MessageId, i + 1);
    EXPECT_EQ(records[i].tag, order[i] == 'S' ? kLoggerTagStandard : kLoggerTagRealTime);
  }
}

struct FileHandleRule {
  const char *name;
  const char *expected;
  std::function<void()> breakRule;
};

class FileHandleRules : public ::testing::TestWithParam<FileHandleRule> {};

TEST_P(FileHandleRules, BreakingTheRuleStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const FileHandleRule &rule = GetParam();
  EXPECT_DEATH(
      {
        Machine machine;
        machine.StartTraceLogger();
        rule.breakRule();
      },
      rule.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FileHandleRules,
    ::testing::Values(
        FileHandleRule{"UserHandleFromTheKernel", "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*without OBJ_KERNEL_HANDLE",
                       [] {
                         LoggerClient client;
                         client.Open(0);
                       }},
        FileHandleRule{"FileHandleClosedTwice", "INVALID_KERNEL_HANDLE.*\n.*closed already",
                       [] {
                         LoggerClient client;
                         client.Open();
                         client.Close();
                         ZwClose(client.handle);
                       }},
        FileHandleRule{"FileObjectDereferencedTooOften", "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*(dereferenced|ObDereferenceObject)",
                       [] {
                         LoggerClient client;
                         client.Open();
                         ObDereferenceObject(client.file);
                         ObDereferenceObject(client.file);
                         ObDereferenceObject(client.file);
                       }}),
    [](const ::testing::TestParamInfo<FileHandleRule> &info) { return std::string(info.param.name); });

}  // namespace
