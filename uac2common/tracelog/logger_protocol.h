// Protocol of the driver logger device: the outside component that owns two
// shared ring buffers of fixed-size binary trace records. The kernel driver
// writes into the buffers directly through their system addresses; user-mode
// clients map them or write through the logger's I/O control.
//
// Header-only and self-contained: it includes nothing, so kernel code,
// user-mode modules and host tools can all take it. Only fixed-width built-in
// types are used (unsigned int is 32 bits and unsigned long long 64 bits on
// every target we build), so the layouts are the same in 32- and 64-bit code.
#pragma once

// Device names. Wrap in the project's wide-literal macro where WCHAR is wanted:
// QAV_W(QAV_LOGGER_DEVICE_NAME).
#define QAV_LOGGER_DEVICE_NAME "\\Device\\BryntDriverLogger"
#define QAV_LOGGER_USER_PATH "\\\\.\\BryntDriverLogger"

// The only protocol version a client accepts (first word of the version answer).
constexpr unsigned int kLoggerProtocolVersion = 0x3006;

// Buffer tags, as the four ASCII bytes in memory order.
constexpr unsigned int LoggerTag(char a, char b, char c, char d) {
  return static_cast<unsigned int>(static_cast<unsigned char>(a)) |
         (static_cast<unsigned int>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<unsigned int>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<unsigned int>(static_cast<unsigned char>(d)) << 24);
}
constexpr unsigned int kLoggerTagStandard = LoggerTag('S', 'T', 'N', 'D');
constexpr unsigned int kLoggerTagRealTime = LoggerTag('R', 'E', 'A', 'L');
static_assert(kLoggerTagStandard == 0x444E5453u && kLoggerTagRealTime == 0x4C414552u, "logger tags");

// I/O controls: device type FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED,
// FILE_ANY_ACCESS, function numbers from 0x800.
constexpr unsigned int LoggerControlCode(unsigned int function) { return (0x22u << 16) | (function << 2); }
// In: nothing. Out: LoggerVersionAnswer (16 bytes).
constexpr unsigned int kIoctlLoggerQueryVersion = LoggerControlCode(0x800);
// Internal device control from kernel mode. In: a tag (4 bytes). Out: the
// buffer's system address (8 bytes).
constexpr unsigned int kIoctlLoggerGetSystemBuffer = LoggerControlCode(0x801);
// From user mode. In: a tag. Out: the buffer mapped into the caller (8 bytes).
constexpr unsigned int kIoctlLoggerMapUserBuffer = LoggerControlCode(0x802);
// From user mode. In: LoggerWriteRequest (56 bytes). Out: 4 bytes.
constexpr unsigned int kIoctlLoggerWriteRecord = LoggerControlCode(0x80B);
static_assert(kIoctlLoggerQueryVersion == 0x222000u && kIoctlLoggerGetSystemBuffer == 0x222004u &&
                  kIoctlLoggerMapUserBuffer == 0x222008u && kIoctlLoggerWriteRecord == 0x22202Cu,
              "logger control codes");

// Flag word of a record: one level bit together with area bits. A trace point
// writes only when every bit of its flag word is set in the enabled mask.
constexpr unsigned int kTraceLevelFailure = 0x40;     // failures
constexpr unsigned int kTraceLevelRefusal = 0x80;     // refusals and unexpected states
constexpr unsigned int kTraceLevelEvent = 0x100;      // entry, exit and ordinary events
constexpr unsigned int kTraceLevelDetail = 0x200;     // dumps: histograms, descriptor fields, URB tables
constexpr unsigned int kTraceLevelMask = 0x3C0;
constexpr unsigned int kTraceAreaRender = 0x10;       // render direction, together with kTraceAreaStream
constexpr unsigned int kTraceAreaStream = 0x20;       // audio stream or pin
constexpr unsigned int kTraceAreaAudioControl = 0x400;  // AudioControl and clocks
constexpr unsigned int kTraceAreaLatency = 0x800;     // latency probe
constexpr unsigned int kTraceAreaUserMode = 0x1000;   // the ASIO driver
constexpr unsigned int kTraceAreaDevice = 0x2000;     // device and USB control path
constexpr unsigned int kTraceAreaMask = 0x3C30;

constexpr unsigned int kTraceRecordArguments = 8;

// One record. Flags are written 0 first and their real value last: a reader
// takes a record with a non-zero flag word as complete.
struct TraceRecord {
  unsigned int MessageId;
  unsigned int Flags;
  unsigned long long InterruptTime;  // 100 ns units
  unsigned int Arguments[kTraceRecordArguments];  // 64-bit values: two arguments, low word first
};
static_assert(sizeof(TraceRecord) == 48, "TraceRecord size");
static_assert(__builtin_offsetof(TraceRecord, MessageId) == 0 && __builtin_offsetof(TraceRecord, Flags) == 4 &&
                  __builtin_offsetof(TraceRecord, InterruptTime) == 8 &&
                  __builtin_offsetof(TraceRecord, Arguments) == 16,
              "TraceRecord layout");

// Start of a shared buffer. Offsets 36 and 64 to 95 are what clients use; the
// rest describes the buffer to readers (the record array follows the header
// at RecordsOffset in every mapping, while RecordArray is its system address).
struct LoggerBufferHeader {
  unsigned int Tag;                   // 0
  unsigned int HeaderSize;            // 4: sizeof(LoggerBufferHeader)
  unsigned int RecordSize;            // 8: sizeof(TraceRecord)
  unsigned int Reserved0[6];          // 12
  unsigned int KernelEnableMask;      // 36
  unsigned int Reserved1[6];          // 40
  unsigned long long RecordArray;     // 64: system address of the record array
  unsigned int RecordsOffset;         // 72: offset of the record array from the buffer start
  unsigned int IndexMask;             // 76: record count - 1, the count a power of two
  unsigned int WriteCounter;          // 80: incremented atomically per record
  unsigned int UserEnableMask;        // 84
  unsigned int TriggerMask;           // 88
  unsigned int PostTriggerCountdown;  // 92
};
static_assert(sizeof(LoggerBufferHeader) == 96, "LoggerBufferHeader size");
static_assert(__builtin_offsetof(LoggerBufferHeader, KernelEnableMask) == 36 &&
                  __builtin_offsetof(LoggerBufferHeader, RecordArray) == 64 &&
                  __builtin_offsetof(LoggerBufferHeader, RecordsOffset) == 72 &&
                  __builtin_offsetof(LoggerBufferHeader, IndexMask) == 76 &&
                  __builtin_offsetof(LoggerBufferHeader, WriteCounter) == 80 &&
                  __builtin_offsetof(LoggerBufferHeader, UserEnableMask) == 84 &&
                  __builtin_offsetof(LoggerBufferHeader, TriggerMask) == 88 &&
                  __builtin_offsetof(LoggerBufferHeader, PostTriggerCountdown) == 92,
              "LoggerBufferHeader layout");

// Records written after a triggering record before both enabled masks drop to 0.
constexpr unsigned int kTracePostTriggerRecords = 50;

// Answer to kIoctlLoggerQueryVersion.
struct LoggerVersionAnswer {
  unsigned int Version;
  unsigned int Reserved[3];
};
static_assert(sizeof(LoggerVersionAnswer) == 16, "LoggerVersionAnswer size");

// Input of kIoctlLoggerWriteRecord. Unused0 and Unused1 are not filled by clients.
struct LoggerWriteRequest {
  unsigned int Tag;                   // 0
  unsigned int Unused0;               // 4
  unsigned int MessageId;             // 8
  unsigned int Flags;                 // 12
  unsigned long long Unused1;         // 16
  unsigned long long Arguments[4];    // 24, 32, 40, 48
};
static_assert(sizeof(LoggerWriteRequest) == 56, "LoggerWriteRequest size");
static_assert(__builtin_offsetof(LoggerWriteRequest, MessageId) == 8 &&
                  __builtin_offsetof(LoggerWriteRequest, Flags) == 12 &&
                  __builtin_offsetof(LoggerWriteRequest, Arguments) == 24,
              "LoggerWriteRequest layout");
