// The driver's trace messages, each defined once: its name (TraceId::Name in
// code), its fixed numeric id (what records carry; never reuse or renumber
// one), its flag word (one level with the areas it belongs to) and the text
// tools print for it. The driver takes only ids and flags from here; the text
// lives in trace_catalog_text.h, which only user-mode tools include.
//
// Text conversions, each taking the record's next 32-bit arguments:
// %u %d %x %X with optional 0 flag and width, %llu %lld %llx (two arguments,
// low word first), %{first|second|...} (the argument selects a word, 0 the
// first), and %% for a percent sign.
//
// Self-contained apart from the protocol header, like it.
#pragma once
#include "uac2common/tracelog/logger_protocol.h"

#define QAV_T_EVENT_DEVICE (kTraceLevelEvent | kTraceAreaDevice)
#define QAV_T_FAIL_DEVICE (kTraceLevelFailure | kTraceAreaDevice)
#define QAV_T_REFUSE_DEVICE (kTraceLevelRefusal | kTraceAreaDevice)
#define QAV_T_DETAIL_DEVICE (kTraceLevelDetail | kTraceAreaDevice)
#define QAV_T_EVENT_AC (kTraceLevelEvent | kTraceAreaAudioControl)
#define QAV_T_FAIL_AC (kTraceLevelFailure | kTraceAreaAudioControl)
#define QAV_T_REFUSE_AC (kTraceLevelRefusal | kTraceAreaAudioControl)
#define QAV_T_DETAIL_AC (kTraceLevelDetail | kTraceAreaAudioControl)
#define QAV_T_EVENT_STREAM (kTraceLevelEvent | kTraceAreaStream)
#define QAV_T_FAIL_STREAM (kTraceLevelFailure | kTraceAreaStream)
#define QAV_T_REFUSE_STREAM (kTraceLevelRefusal | kTraceAreaStream)
#define QAV_T_DETAIL_STREAM (kTraceLevelDetail | kTraceAreaStream)
#define QAV_T_EVENT_LATENCY (kTraceLevelEvent | kTraceAreaLatency)
#define QAV_T_FAIL_LATENCY (kTraceLevelFailure | kTraceAreaLatency)
#define QAV_T_DETAIL_LATENCY (kTraceLevelDetail | kTraceAreaLatency)
// The ASIO driver (user mode): ids from 0x2100 on, its writes four 64-bit
// arguments, each taking two of the record's words.
#define QAV_T_EVENT_USER (kTraceLevelEvent | kTraceAreaUserMode)
#define QAV_T_FAIL_USER (kTraceLevelFailure | kTraceAreaUserMode)
#define QAV_T_REFUSE_USER (kTraceLevelRefusal | kTraceAreaUserMode)
#define QAV_T_DETAIL_USER (kTraceLevelDetail | kTraceAreaUserMode)

// X(Name, id, flags, text)
#define QAV_TRACE_CATALOG(X) \
  X(DriverEntry, 1, QAV_T_EVENT_DEVICE, "driver entry, version %u.%u.%u.%u") \
  X(DriverUnloaded, 2, QAV_T_EVENT_DEVICE, "unloaded") \
  X(ClockInUse, 3, QAV_T_EVENT_AC, "clock 0x%02x in use (selector input %u), %u Hz") \
  X(RateListNotRead, 4, QAV_T_FAIL_AC, "rate list not read %08x") \
  X(StatusInterruptNotStarted, 5, QAV_T_FAIL_AC, "status interrupt not started %08x") \
  X(ClockSourceTableFull, 6, QAV_T_REFUSE_AC, "clock source %u ignored: table full") \
  X(ClockSourceFound, 7, QAV_T_DETAIL_AC, "clock source %u: id %u, %{External Clock|Internal fixed Clock|Internal variable Clock|Internal programmable Clock}") \
  X(AcSubtypeUnknown, 8, QAV_T_REFUSE_AC, "AudioControl descriptor subtype %u not recognised") \
  X(AcSubtype, 9, QAV_T_DETAIL_AC, "AudioControl descriptor subtype %u") \
  X(RangeTooManyRates, 10, QAV_T_REFUSE_AC, "RANGE answer lists more than %u rates: the first ones kept") \
  X(RangeBytesUnused, 11, QAV_T_REFUSE_AC, "RANGE answer with %u bytes not used") \
  X(StatusInterruptEnded, 12, QAV_T_EVENT_AC, "status interrupt ended: IRP %08x URB %08x") \
  X(StatusInterruptBusy, 13, QAV_T_FAIL_AC, "status interrupt still busy after %u ms") \
  X(ClientInterfaceNotRegistered, 14, QAV_T_FAIL_DEVICE, "client interface not registered %08x") \
  X(ClientInterfaceNotEnabled, 15, QAV_T_FAIL_DEVICE, "client interface not enabled %08x") \
  X(StoredUrbSizeOutOfRange, 16, QAV_T_REFUSE_DEVICE, "stored UrbSize %u out of range") \
  X(DeviceAdded, 17, QAV_T_EVENT_DEVICE, "device added: UrbSize %u") \
  X(StopRefused, 18, QAV_T_REFUSE_DEVICE, "stop refused: %d audio pins open") \
  X(DeviceStopped, 19, QAV_T_EVENT_DEVICE, "stopped") \
  X(InterfaceNotAudio20, 20, QAV_T_REFUSE_DEVICE, "interface %u (subclass %u, protocol %02x) is not of audio class 2.0: passed over") \
  X(NoStreamingInterface, 21, QAV_T_REFUSE_DEVICE, "AudioControl interface %u: no class 2.0 AudioStreaming interface follows it") \
  X(StreamFound, 22, QAV_T_DETAIL_DEVICE, "%{render|capture} stream: interface %u alternate setting %u, %u channels x %u bytes, endpoint %02x, feedback %02x") \
  X(VendorNotServed, 23, QAV_T_REFUSE_DEVICE, "vendor %04x not served") \
  X(EndpointFormatSize, 24, QAV_T_REFUSE_DEVICE, "endpoint format of %u bytes left alone") \
  X(EndpointFormatUnknown, 25, QAV_T_REFUSE_DEVICE, "endpoint format not recognised (%u bytes), left alone") \
  X(EndpointFormatNotWritten, 26, QAV_T_FAIL_DEVICE, "endpoint format not written %08x") \
  X(HardwareIdsNotRead, 27, QAV_T_FAIL_DEVICE, "hardware ids not read %08x") \
  X(NoProductString, 28, QAV_T_EVENT_DEVICE, "no product string") \
  X(ProductStringNotRead, 29, QAV_T_FAIL_DEVICE, "product string %u not read %08x") \
  X(SamplingFrequencyNotRead, 30, QAV_T_FAIL_AC, "clock 0x%02x: sampling frequency not read %08x") \
  X(SecondProbeFailed, 31, QAV_T_FAIL_LATENCY, "second latency probe failed: the first result stands") \
  X(FriendlyNameNotWritten, 32, QAV_T_FAIL_DEVICE, "FriendlyName not written %08x") \
  X(NoAudioControl, 33, QAV_T_FAIL_DEVICE, "no AudioControl interface of the audio function") \
  X(PostStart, 34, QAV_T_EVENT_DEVICE, "post start %08x: rate %u, UrbSize %u (minimum %u)") \
  X(PowerActionRateLost, 35, QAV_T_EVENT_DEVICE, "power action %d: the rate is set again by the next pin") \
  X(ClockInputNotRestored, 36, QAV_T_FAIL_AC, "clock input not restored %08x") \
  X(RateNotRestored, 37, QAV_T_FAIL_AC, "rate %u not restored at D0 %08x") \
  X(PinCloseUnbalanced, 38, QAV_T_REFUSE_STREAM, "audio pin closed while none is open") \
  X(RegistryWriteFailed, 39, QAV_T_FAIL_DEVICE, "registry write failed %08x") \
  X(DriverKeyNotOpened, 40, QAV_T_FAIL_DEVICE, "driver key not opened %08x") \
  X(EventRaised, 41, QAV_T_EVENT_DEVICE, "event %u raised (%u bytes)") \
  X(FilterFullAudio, 42, QAV_T_REFUSE_DEVICE, "filter full: %{render|capture} pins not added") \
  X(FilterFullMidi, 43, QAV_T_REFUSE_DEVICE, "filter full: MIDI cable pins not added") \
  X(PinRateRefused, 44, QAV_T_REFUSE_STREAM, "audio pin at %u Hz refused: device runs at %u Hz with %d pins open") \
  X(PinCreated, 45, QAV_T_EVENT_STREAM, "audio pin created: %{render|capture}, %u Hz, %u channels of %u bytes") \
  X(FormatChangeRestartFailed, 46, QAV_T_FAIL_STREAM, "stream not restarted after a format change: %08x") \
  X(PinStreamStepFailed, 47, QAV_T_FAIL_STREAM, "%{preparing transfers|start|freeing transfers} of stream %02x failed %08x") \
  X(PinNotAttached, 48, QAV_T_FAIL_STREAM, "audio pin not attached: %08x") \
  X(PinState, 49, QAV_T_EVENT_STREAM, "audio pin %{STOP|ACQUIRE|PAUSE|RUN} -> %{STOP|ACQUIRE|PAUSE|RUN}") \
  X(RateEventNoPool, 50, QAV_T_FAIL_DEVICE, "sample-rate event for %u Hz not raised: no pool") \
  X(RateEventNoWorkItem, 51, QAV_T_FAIL_DEVICE, "sample-rate event for %u Hz not raised: no work item") \
  X(ClockSourceNotSelected, 52, QAV_T_FAIL_AC, "clock source %u not selected %08x") \
  X(UrbSizeRefused, 53, QAV_T_REFUSE_DEVICE, "UrbSize %u refused: minimum %u") \
  X(MidiCableNoPin, 54, QAV_T_REFUSE_DEVICE, "MIDI cable %u of endpoint %02x has no pin") \
  X(MidiMessageOversized, 55, QAV_T_REFUSE_DEVICE, "MIDI message of %u bytes exceeds the pin's queue") \
  X(MidiCableFull, 56, QAV_T_REFUSE_DEVICE, "MIDI cable %u: no room for another pin") \
  X(MidiEndpointPassedOver, 57, QAV_T_REFUSE_DEVICE, "MIDI endpoint %02x passed over: %u cables, packet size %u") \
  X(MidiEndpointFound, 58, QAV_T_DETAIL_DEVICE, "MIDI %{OUT|IN} endpoint %02x: %u cables, packet size %u") \
  X(MidiTransferEnded, 59, QAV_T_EVENT_DEVICE, "MIDI endpoint %02x buffer %u ended: IRP %08x URB %08x") \
  X(MidiPipeNotReset, 60, QAV_T_FAIL_DEVICE, "MIDI endpoint %02x: pipe not reset %08x") \
  X(MidiTransfersHeld, 61, QAV_T_FAIL_DEVICE, "MIDI endpoint %02x: transfers still out after abort") \
  X(MidiNotSentGone, 62, QAV_T_REFUSE_DEVICE, "MIDI endpoint %02x: %u bytes not sent, the device is gone") \
  X(MidiBytesDropped, 63, QAV_T_REFUSE_DEVICE, "MIDI cable %u: %u bytes dropped") \
  X(ProbeEntry, 64, QAV_T_DETAIL_LATENCY, "probe %2u: start frame %u, completed in frame %u (%d), counter %lld") \
  X(ProbeResult, 65, QAV_T_EVENT_LATENCY, "latency probe: %u frames") \
  X(FeedbackRecovered, 66, QAV_T_EVENT_STREAM, "stream %02x: feedback read again after %u failures") \
  X(FeedbackReadFailed, 67, QAV_T_FAIL_STREAM, "stream %02x: feedback read failed: IRP %08x URB %08x; read again with the next data URB") \
  X(DataUrbFailed, 68, QAV_T_FAIL_STREAM, "stream %02x: URB %u failed: IRP %08x URB %08x") \
  X(EndpointIntervalNotServed, 69, QAV_T_REFUSE_STREAM, "alternate setting %u/%u: data endpoint %02x with bInterval %u not served") \
  X(StreamStopped, 70, QAV_T_EVENT_STREAM, "stream %02x stopped: %u URBs, lateness %u..%u frames") \
  X(StreamLatenessBucket, 71, QAV_T_DETAIL_STREAM, "  %2u frames late: %u (%u%%)") \
  X(StreamPipeRecovered, 72, QAV_T_FAIL_STREAM, "stream %02x: data URB failed; pipe aborted %08x, reset %08x") \
  X(StreamPipeAborted, 73, QAV_T_EVENT_STREAM, "stream %02x: pipe %02x aborted %08x") \
  X(StreamDrainTimeout, 74, QAV_T_FAIL_STREAM, "stream %02x: %d URBs not back %u ms after stop; aborting") \
  X(StreamHeldAfterAbort, 75, QAV_T_FAIL_STREAM, "stream %02x: %d URBs still held after the abort; waiting for them") \
  X(StreamNotResumed, 76, QAV_T_FAIL_STREAM, "stream %02x: not resumed %08x") \
  X(AltSettingNotSelected, 77, QAV_T_FAIL_STREAM, "stream %02x: alternate setting %u not selected %08x") \
  X(TransfersNotPrepared, 78, QAV_T_FAIL_STREAM, "stream %02x: transfers not prepared %08x") \
  X(UrbSizeFreeFailed, 79, QAV_T_FAIL_STREAM, "UrbSize change: stream %02x freed %08x") \
  X(UrbSizeRestartFailed, 80, QAV_T_FAIL_STREAM, "UrbSize change: stream %02x not restarted %08x") \
  X(UrbSizeBusy, 81, QAV_T_REFUSE_DEVICE, "UrbSize %u not applied: transfers still in use") \
  X(NoBandwidth, 82, QAV_T_FAIL_DEVICE, "SELECT_INTERFACE %u/%u: no USB bandwidth on the bus for its %u isochronous bytes per microframe") \
  X(SelectConfigurationFailed, 83, QAV_T_FAIL_DEVICE, "select configuration failed %08x") \
  X(SelectInterfaceFailed, 84, QAV_T_REFUSE_DEVICE, "SELECT_INTERFACE %u/%u attempt %u failed %08x") \
  X(ClockRates, 85, QAV_T_EVENT_AC, "rates %u %u %u %u %u %u %u %u") \
  X(AsioModuleAttached, 0x2100, QAV_T_EVENT_USER, "ASIO module attached") \
  X(AsioModulePathKnown, 0x2101, QAV_T_EVENT_USER, "ASIO module path known") \
  X(AsioInitialised, 0x2102, QAV_T_EVENT_USER, "init: %llu devices, %llu inputs, %llu outputs") \
  X(AsioInitFailed, 0x2103, QAV_T_REFUSE_USER, "init failed: %llu devices found") \
  X(AsioBuffersCreated, 0x2104, QAV_T_EVENT_USER, "createBuffers: %llu channels of %llu samples") \
  X(AsioBuffersRefused, 0x2105, QAV_T_REFUSE_USER, "createBuffers of %lld channels, %lld samples refused: %lld") \
  X(AsioStart, 0x2106, QAV_T_EVENT_USER, "start: %lld") \
  X(AsioStop, 0x2107, QAV_T_EVENT_USER, "stop") \
  X(AsioRateChanged, 0x2108, QAV_T_EVENT_USER, "sample rate %llu Hz asked for: %lld, running at %llu Hz") \
  X(AsioHostMessage, 0x2109, QAV_T_DETAIL_USER, "host message %lld answered %lld") \
  X(AsioOverload, 0x210A, QAV_T_REFUSE_USER, "overload %llu: the devices' data ran over") \
  X(AsioStreamingEnded, 0x210B, QAV_T_FAIL_USER, "streaming ended: the devices stopped delivering; reset requested")

enum class TraceId : unsigned int {
#define QAV_TRACE_ID_ENUM(name, id, flags, text) name = id,
  QAV_TRACE_CATALOG(QAV_TRACE_ID_ENUM)
#undef QAV_TRACE_ID_ENUM
};

constexpr unsigned int TraceFlagsOf(TraceId id) {
  switch (id) {
#define QAV_TRACE_ID_FLAGS(name, id, flags, text) \
  case TraceId::name:                             \
    return flags;
    QAV_TRACE_CATALOG(QAV_TRACE_ID_FLAGS)
#undef QAV_TRACE_ID_FLAGS
  }
  return 0;
}

namespace trace_catalog_check {
constexpr unsigned int kIds[] = {
#define QAV_TRACE_ID_VALUE(name, id, flags, text) id,
    QAV_TRACE_CATALOG(QAV_TRACE_ID_VALUE)
#undef QAV_TRACE_ID_VALUE
};
constexpr unsigned int kFlags[] = {
#define QAV_TRACE_ID_FLAG_VALUE(name, id, flags, text) flags,
    QAV_TRACE_CATALOG(QAV_TRACE_ID_FLAG_VALUE)
#undef QAV_TRACE_ID_FLAG_VALUE
};
constexpr bool IdsUnique() {
  for (unsigned int i = 0; i < sizeof kIds / sizeof kIds[0]; ++i) {
    if (kIds[i] == 0) return false;
    for (unsigned int j = i + 1; j < sizeof kIds / sizeof kIds[0]; ++j) {
      if (kIds[i] == kIds[j]) return false;
    }
  }
  return true;
}
// Exactly one level bit, at least one area bit, nothing else.
constexpr bool FlagsWellFormed() {
  for (unsigned int flags : kFlags) {
    const unsigned int level = flags & kTraceLevelMask;
    if (level == 0 || (level & (level - 1)) != 0) return false;
    if ((flags & kTraceAreaMask) == 0 || (flags & ~(kTraceLevelMask | kTraceAreaMask)) != 0) return false;
  }
  return true;
}
static_assert(IdsUnique(), "trace message ids must be non-zero and unique");
static_assert(FlagsWellFormed(), "a trace message's flags are one level and its areas");
}  // namespace trace_catalog_check
