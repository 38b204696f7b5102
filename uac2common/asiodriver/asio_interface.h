// The ASIO host interface: the types, codes and the IASIO driver interface
// that ASIO host applications call, with the published names, values and
// layouts. Structures use 4-byte packing as hosts built with the published
// interface expect; every layout is pinned below for 32- and 64-bit builds.
// The published interface's 32-bit signed integers are LONG here.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <stddef.h>

#pragma pack(push, 4)

typedef LONG ASIOBool;
enum { ASIOFalse = 0, ASIOTrue = 1 };

// 64-bit sample positions and nanosecond time stamps as two 32-bit halves.
typedef struct ASIOSamples {
  ULONG hi;
  ULONG lo;
} ASIOSamples;

typedef struct ASIOTimeStamp {
  ULONG hi;
  ULONG lo;
} ASIOTimeStamp;

typedef double ASIOSampleRate;

typedef LONG ASIOSampleType;
enum {
  ASIOSTInt16MSB = 0,
  ASIOSTInt24MSB = 1,
  ASIOSTInt32MSB = 2,
  ASIOSTFloat32MSB = 3,
  ASIOSTFloat64MSB = 4,
  ASIOSTInt32MSB16 = 8,
  ASIOSTInt32MSB18 = 9,
  ASIOSTInt32MSB20 = 10,
  ASIOSTInt32MSB24 = 11,
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20,
  ASIOSTInt32LSB16 = 24,
  ASIOSTInt32LSB18 = 25,
  ASIOSTInt32LSB20 = 26,
  ASIOSTInt32LSB24 = 27,
  ASIOSTDSDInt8LSB1 = 32,
  ASIOSTDSDInt8MSB1 = 33,
  ASIOSTDSDInt8NER8 = 40,
  ASIOSTLastEntry
};

typedef LONG ASIOError;
enum {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3f4847a0,
  ASE_NotPresent = -1000,
  ASE_HWMalfunction,
  ASE_InvalidParameter,
  ASE_InvalidMode,
  ASE_SPNotAdvancing,
  ASE_NoClock,
  ASE_NoMemory
};

enum ASIOTimeCodeFlags {
  kTcValid = 1,
  kTcRunning = 1 << 1,
  kTcReverse = 1 << 2,
  kTcOnspeed = 1 << 3,
  kTcStill = 1 << 4,
  kTcSpeedValid = 1 << 8
};

typedef struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  ULONG flags;
  char future[64];
} ASIOTimeCode;

enum AsioTimeInfoFlags {
  kSystemTimeValid = 1,
  kSamplePositionValid = 1 << 1,
  kSampleRateValid = 1 << 2,
  kSpeedValid = 1 << 3,
  kSampleRateChanged = 1 << 4,
  kClockSourceChanged = 1 << 5
};

typedef struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  ULONG flags;
  char reserved[12];
} AsioTimeInfo;

typedef struct ASIOTime {
  LONG reserved[4];
  struct AsioTimeInfo timeInfo;
  struct ASIOTimeCode timeCode;
} ASIOTime;

// The host's callbacks, called on the driver's streaming thread.
typedef struct ASIOCallbacks {
  void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  LONG (*asioMessage)(LONG selector, LONG value, void *message, double *opt);
  ASIOTime *(*bufferSwitchTimeInfo)(ASIOTime *params, LONG doubleBufferIndex, ASIOBool directProcess);
} ASIOCallbacks;

// Selectors of ASIOCallbacks::asioMessage.
enum {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion,
  kAsioResetRequest,
  kAsioBufferSizeChange,
  kAsioResyncRequest,
  kAsioLatenciesChanged,
  kAsioSupportsTimeInfo,
  kAsioSupportsTimeCode,
  kAsioMMCCommand,
  kAsioSupportsInputMonitor,
  kAsioSupportsInputGain,
  kAsioSupportsInputMeter,
  kAsioSupportsOutputGain,
  kAsioSupportsOutputMeter,
  kAsioOverload,
  kAsioNumMessageSelectors
};

typedef struct ASIODriverInfo {
  LONG asioVersion;
  LONG driverVersion;
  char name[32];
  char errorMessage[124];
  void *sysRef;
} ASIODriverInfo;

typedef struct ASIOClockSource {
  LONG index;
  LONG associatedChannel;
  LONG associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
} ASIOClockSource;

typedef struct ASIOChannelInfo {
  LONG channel;
  ASIOBool isInput;
  ASIOBool isActive;
  LONG channelGroup;
  ASIOSampleType type;
  char name[32];
} ASIOChannelInfo;

typedef struct ASIOBufferInfo {
  ASIOBool isInput;
  LONG channelNum;
  void *buffers[2];
} ASIOBufferInfo;

// Selectors of IASIO::future.
enum {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead,
  kAsioSetInputMonitor,
  kAsioTransport,
  kAsioSetInputGain,
  kAsioGetInputMeter,
  kAsioSetOutputGain,
  kAsioGetOutputMeter,
  kAsioCanInputMonitor,
  kAsioCanTimeInfo,
  kAsioCanTimeCode,
  kAsioCanTransport,
  kAsioCanInputGain,
  kAsioCanInputMeter,
  kAsioCanOutputGain,
  kAsioCanOutputMeter,
  kAsioOptionalOne,
  kAsioSetIoFormat = 0x23111961,
  kAsioGetIoFormat = 0x23111983,
  kAsioCanDoIoFormat = 0x23112004,
  kAsioCanReportOverload = 0x24042012,
  kAsioGetInternalBufferSamples = 0x25042012,
  kAsioSupportsInputResampling = 0x26092017
};

typedef struct ASIOInputMonitor {
  LONG input;
  LONG output;
  LONG gain;
  ASIOBool state;
  LONG pan;
} ASIOInputMonitor;

typedef struct ASIOChannelControls {
  LONG channel;
  ASIOBool isInput;
  LONG gain;
  LONG meter;
  char future[32];
} ASIOChannelControls;

typedef struct ASIOTransportParameters {
  LONG command;
  ASIOSamples samplePosition;
  LONG track;
  LONG trackSwitches[16];
  char future[64];
} ASIOTransportParameters;

enum {
  kTransStart = 1,
  kTransStop,
  kTransLocate,
  kTransPunchIn,
  kTransPunchOut,
  kTransArmOn,
  kTransArmOff,
  kTransMonitorOn,
  kTransMonitorOff,
  kTransArm,
  kTransMonitor
};

typedef LONG ASIOIoFormatType;
enum ASIOIoFormatType_e { kASIOFormatInvalid = -1, kASIOPCMFormat = 0, kASIODSDFormat = 1 };

typedef struct ASIOIoFormat_s {
  ASIOIoFormatType FormatType;
  char future[512 - sizeof(ASIOIoFormatType)];
} ASIOIoFormat;

typedef struct ASIOInternalBufferInfo {
  LONG inputSamples;
  LONG outputSamples;
} ASIOInternalBufferInfo;

#pragma pack(pop)

// The driver interface. Hosts reach it by asking the driver object for the
// interface id equal to the driver's CLSID; the slots follow IUnknown's three
// in exactly this order, with the compiler's default member calling
// convention (thiscall on 32-bit x86).
struct IASIO : public IUnknown {
  virtual ASIOBool init(void *sysHandle) = 0;
  virtual void getDriverName(char *name) = 0;
  virtual LONG getDriverVersion() = 0;
  virtual void getErrorMessage(char *string) = 0;
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(LONG *numInputChannels, LONG *numOutputChannels) = 0;
  virtual ASIOError getLatencies(LONG *inputLatency, LONG *outputLatency) = 0;
  virtual ASIOError getBufferSize(LONG *minSize, LONG *maxSize, LONG *preferredSize, LONG *granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate *sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource *clocks, LONG *numSources) = 0;
  virtual ASIOError setClockSource(LONG reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo *info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize,
                                  ASIOCallbacks *callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(LONG selector, void *opt) = 0;
  virtual ASIOError outputReady() = 0;
};

// Slot numbers of IASIO's methods in its virtual table (IUnknown's are 0-2).
enum AsioVtableSlot {
  kAsioSlotInit = 3,
  kAsioSlotGetDriverName,
  kAsioSlotGetDriverVersion,
  kAsioSlotGetErrorMessage,
  kAsioSlotStart,
  kAsioSlotStop,
  kAsioSlotGetChannels,
  kAsioSlotGetLatencies,
  kAsioSlotGetBufferSize,
  kAsioSlotCanSampleRate,
  kAsioSlotGetSampleRate,
  kAsioSlotSetSampleRate,
  kAsioSlotGetClockSources,
  kAsioSlotSetClockSource,
  kAsioSlotGetSamplePosition,
  kAsioSlotGetChannelInfo,
  kAsioSlotCreateBuffers,
  kAsioSlotDisposeBuffers,
  kAsioSlotControlPanel,
  kAsioSlotFuture,
  kAsioSlotOutputReady,
  kAsioSlotCount
};
static_assert(kAsioSlotCount == 24, "IASIO: three IUnknown slots and 21 driver slots");

static_assert(sizeof(ASIOBool) == 4 && sizeof(ASIOError) == 4 && sizeof(ASIOSampleType) == 4, "32-bit codes");
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8, "ASIOSamples layout");
static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode layout");
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8 && offsetof(ASIOTimeCode, flags) == 16 &&
                  offsetof(ASIOTimeCode, future) == 20,
              "ASIOTimeCode fields");
static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo layout");
static_assert(offsetof(AsioTimeInfo, systemTime) == 8 && offsetof(AsioTimeInfo, samplePosition) == 16 &&
                  offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32 &&
                  offsetof(AsioTimeInfo, reserved) == 36,
              "AsioTimeInfo fields");
static_assert(sizeof(ASIOTime) == 148, "ASIOTime layout");
static_assert(offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64, "ASIOTime fields");
static_assert(sizeof(ASIOClockSource) == 48 && offsetof(ASIOClockSource, name) == 16, "ASIOClockSource layout");
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, type) == 16 &&
                  offsetof(ASIOChannelInfo, name) == 20,
              "ASIOChannelInfo layout");
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void *) && offsetof(ASIOBufferInfo, buffers) == 8,
              "ASIOBufferInfo layout");
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void *), "ASIOCallbacks layout");
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void *), "ASIOCallbacks order");
static_assert(sizeof(ASIODriverInfo) == 164 + sizeof(void *) && offsetof(ASIODriverInfo, sysRef) == 164,
              "ASIODriverInfo layout");
static_assert(sizeof(ASIOInputMonitor) == 20, "ASIOInputMonitor layout");
static_assert(sizeof(ASIOChannelControls) == 48, "ASIOChannelControls layout");
static_assert(sizeof(ASIOTransportParameters) == 144 && offsetof(ASIOTransportParameters, samplePosition) == 4 &&
                  offsetof(ASIOTransportParameters, track) == 12,
              "ASIOTransportParameters layout");
static_assert(sizeof(ASIOIoFormat) == 512, "ASIOIoFormat layout");
static_assert(sizeof(ASIOInternalBufferInfo) == 8, "ASIOInternalBufferInfo layout");
static_assert(ASE_HWMalfunction == -999 && ASE_InvalidParameter == -998 && ASE_InvalidMode == -997 &&
                  ASE_SPNotAdvancing == -996 && ASE_NoClock == -995 && ASE_NoMemory == -994,
              "ASE_ codes");
static_assert(kAsioOverload == 15 && kAsioSupportsTimeInfo == 7 && kAsioResetRequest == 3, "message selectors");
static_assert(kAsioCanTimeInfo == 10 && kAsioCanTimeCode == 11 && kAsioOptionalOne == 17, "future selectors");
static_assert(kClockSourceChanged == 0x20, "time info flags");
static_assert(kTransMonitor == 11, "transport commands");
