// What a simulated USB Audio Class 2.0 interface is: its identity, its audio
// function (clocks, terminals, units, streaming interfaces, MIDI) and the few
// behaviour parameters the device runtime needs. A DeviceModel is plain data;
// the descriptor builder turns it into bytes, the raw parser turns bytes back
// into one.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/devices/usb_constants.h"

namespace winsim::devices {

// The maker's vendor id, the audio controller supplier's, and a vendor the
// driver must refuse.
inline constexpr uint16_t kQavVendorId = 0x2B5A;
inline constexpr uint16_t kControllerVendorId = 0x1A2C;
inline constexpr uint16_t kForeignVendorId = 0x0D8C;

enum class UsbSpeed : uint8_t { Full, High };

// bmAttributes bits 0-1 of a clock source.
enum class ClockType : uint8_t { External = 0, InternalFixed = 1, InternalVariable = 2, InternalProgrammable = 3 };

// One subrange of a RANGE answer of the sampling-frequency control; minimum
// equal to maximum is one discrete rate.
struct RateSubrange {
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  uint32_t resolution = 0;

  bool operator==(const RateSubrange &) const = default;
};

struct ClockSource {
  uint8_t id = 0;
  ClockType type = ClockType::InternalProgrammable;
  std::string name;
  std::vector<uint32_t> rates;  // discrete sampling frequencies in Hz, in the order the device lists them
  // When not empty, the RANGE answer lists these (continuous ones included)
  // in place of one subrange per rate, and the clock runs at any rate inside
  // one of them; `rates` then only names the rates it may start at.
  std::vector<RateSubrange> subranges;
  uint8_t assocTerminal = 0;
  bool validAtStart = true;     // an external clock may start without lock
  // The clock's own drift: an internal clock with a crystal of its own, or
  // the sender an external clock locks to. None: the device's crystal
  // (DeviceBehaviour::clockDriftPpm).
  std::optional<int32_t> driftPpm;
};

// Input k (1-based) of the selector is inputs[k - 1].
struct ClockSelector {
  uint8_t id = 0;
  std::vector<uint8_t> inputs;
  std::string name;
};

struct InputTerminal {
  uint8_t id = 0;
  uint16_t terminalType = usb_const::kTerminalUsbStreaming;
  uint8_t assocTerminal = 0;
  uint8_t clockId = 0;  // bCSourceID: a clock source or the clock selector
  uint8_t channels = 0;
  uint32_t channelConfig = 0;
  std::vector<std::string> channelNames;  // consecutive strings from iChannelNames
  std::string name;
};

struct OutputTerminal {
  uint8_t id = 0;
  uint16_t terminalType = usb_const::kTerminalUsbStreaming;
  uint8_t assocTerminal = 0;
  uint8_t sourceId = 0;
  uint8_t clockId = 0;
  std::string name;
};

// bmaControls: two bits per control (mute bits 0-1, volume bits 2-3, ...).
struct FeatureUnit {
  uint8_t id = 0;
  uint8_t sourceId = 0;
  uint8_t channels = 0;  // the channel count of the source's cluster
  uint32_t masterControls = 0x0000000F;
  uint32_t channelControls = 0x0000000C;
  std::string name;
};

enum class StreamDirection : uint8_t { Render, Capture };

// How a render stream learns the device's rate. Implicit: the capture data
// endpoint is the reference (its endpoint carries the implicit-feedback usage).
enum class FeedbackKind : uint8_t { None, Explicit, Implicit };

// One alternate setting (1..n) of a streaming interface.
struct StreamFormat {
  uint8_t subslotSize = 4;     // bytes per sample: 2, 3 or 4
  uint8_t bitResolution = 24;
  uint32_t maxRate = 0;        // 0: any rate of the clock; else the format descriptor carries this limit
  // This setting's cluster: 0 for the stream's channels, else fewer of them
  // (the first ones), as an interface that drops ADAT channels at high rates.
  uint8_t channels = 0;
};

struct StreamingInterface {
  StreamDirection direction = StreamDirection::Render;
  uint8_t channels = 2;
  uint32_t channelConfig = 0;
  std::vector<std::string> channelNames;  // empty, or one per channel
  uint8_t terminalLink = 0;    // the USB streaming input (render) or output (capture) terminal
  uint8_t endpoint = 0x01;     // data endpoint address; bit 7 set for capture
  uint8_t interval = 1;        // bInterval of the data endpoint; packets are sized per service interval
  FeedbackKind feedback = FeedbackKind::None;  // render streams only
  uint8_t feedbackEndpoint = 0;                // explicit feedback endpoint address (IN)
  uint8_t feedbackInterval = 4;                // its bInterval at high speed (full speed: always 1)
  std::vector<StreamFormat> formats;
};

// An interface of the configuration outside the audio function's
// association, after it: firmware tools and vendor control panels use them.
enum class ExtraInterface : uint8_t {
  VendorSpecific,  // class 0xFF, one bulk pair
  DfuRuntime,      // class 0xFE subclass 1 protocol 1: the run-time DFU interface
};
// The vendor interface's bulk pair.
inline constexpr uint8_t kVendorInterfaceOutEndpoint = 0x0E;
inline constexpr uint8_t kVendorInterfaceInEndpoint = 0x8E;

struct StatusInterrupt {
  uint8_t endpoint = 0x8F;
  uint16_t maxPacket = 6;  // one UAC2 interrupt message
  uint8_t interval = 4;
};

// A USB MIDI 1.0 streaming interface. Cable c has an embedded IN jack fed by
// the OUT endpoint and an embedded OUT jack read by the IN endpoint, each
// wired to an external jack.
struct MidiInterface {
  uint8_t cables = 1;
  uint8_t outEndpoint = 0x03;
  uint8_t inEndpoint = 0x83;
  std::vector<std::string> cableNames;  // empty, or one per cable
};

// What an explicit feedback endpoint reports (feedback_meter.h).
enum class FeedbackMode : uint8_t {
  MeasuredRate,      // the clock's rate measured over the endpoint's interval: quantised, jittered, no FIFO term
  NominalRounded,    // the nominal rate rounded, whatever the clock's drift
  ZeroUntilPlaying,  // 0 until the DAC has started, then measured
  FifoServo,         // the drifted rate steered by the FIFO's fill (feedback_servo.h)
};

// What the DAC does once its FIFO ran dry while playing.
enum class RenderUnderrunPolicy : uint8_t {
  Reprime,  // play silence until the FIFO holds the start threshold again
  PlayOn,   // keep playing whatever arrives, silence for what is missing
};

// Which samples a capture packet carries.
enum class CaptureTiming : uint8_t {
  // Those converted during the service interval before the packet's
  // microframe: a packet leaves with samples that are complete (so the
  // first packet of a run is empty).
  AfterInterval,
  // Those of the packet's own service interval, as if the device could send
  // samples it has yet to take (an idealised device).
  DuringInterval,
};

// Which clocks take a SET CUR of their sampling frequency. A fixed clock
// has one rate and an external one runs at the rate of what it locks to:
// real devices stall the write.
enum class ClockRateWrites : uint8_t {
  InternalVariableOrProgrammable,
  AnyListedRate,  // any clock, at a rate it lists (a lenient device)
};

// What a device does while its clock settles after a change of rate or
// source (clockSettleMicroseconds).
enum class ClockSettleEffect : uint8_t {
  ReportInvalid,  // the clock-validity control reads 0 until it has settled
  MuteData,       // data packets carry nothing (IN) or are not played (OUT)
  None,
};

// Parameters of the simulated hardware, read by the device runtime.
struct DeviceBehaviour {
  int32_t clockDriftPpm = 0;
  uint32_t loopbackDelaySamples = 32;  // converter delay from an output back to its input
  uint32_t fifoDepthFrames = 512;      // render FIFO, in sample frames
  uint32_t initialRate = 48000;
  // The DAC starts once the FIFO holds this many frames; 0: fifoStartMicroseconds decides.
  uint32_t fifoStartFrames = 0;
  // Converters keep only the format's bBitResolution bits; off, every bit of
  // the subslot passes (an idealised converter).
  bool honourBitResolution = true;
  // Feature-unit mute and volume change what the device plays and captures;
  // off, they are values a host reads back and nothing more.
  bool featureUnitsShapeAudio = true;
  FeedbackMode feedbackMode = FeedbackMode::MeasuredRate;
  uint32_t feedbackJitterTicks = 1;  // latch jitter of the measured rate, in master-clock ticks (1/256 sample)
  // The DAC's share of the loopback delay (FIFO to analog output), in
  // frames; the rest is the ADC's (analog input to capture packet). 0: half,
  // rounded up, as sigma-delta converters of one family roughly split it.
  uint32_t dacDelayFrames = 0;
  // The DAC's start threshold as time at the stream's rate, rounded up to
  // whole frames (1000: 48 frames at 48 kHz, 192 at 192 kHz); 0 with
  // fifoStartFrames 0: half the FIFO's depth (a device that buffers deeply).
  uint32_t fifoStartMicroseconds = 1000;
  RenderUnderrunPolicy underrunPolicy = RenderUnderrunPolicy::Reprime;
  // Where within a sample period the clock stands when streaming starts,
  // and so where a run enters the pattern of packet sizes: drawn per start
  // from clockPhaseSeed (the same seed gives the same runs); off, every run
  // starts at phase 0.
  bool randomClockPhase = true;
  uint32_t clockPhaseSeed = 1;
  CaptureTiming captureTiming = CaptureTiming::AfterInterval;
  // IN data packets a capture run starts with that carry nothing (the
  // device's capture path still filling); their samples are not sent.
  uint32_t emptyCapturePacketsAtStart = 0;
  ClockRateWrites clockRateWrites = ClockRateWrites::InternalVariableOrProgrammable;
  // The time the clock takes to settle after a change of rate or source, or
  // after an external clock regained lock; what it does meanwhile. MuteData
  // counts the time from the first data packet after the change (the device
  // locks to the stream); ReportInvalid from the change itself.
  uint32_t clockSettleMicroseconds = 20000;
  ClockSettleEffect clockSettleEffect = ClockSettleEffect::ReportInvalid;
};

struct DeviceModel {
  std::string name;  // catalog name, e.g. "Larch"
  uint16_t vendorId = kQavVendorId;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0x0100;
  std::string manufacturer;
  std::string product;
  std::string serial;
  UsbSpeed speed = UsbSpeed::High;
  bool firmwareUpdateMode = false;  // a single DFU interface instead of the audio function
  uint8_t category = usb_const::kCategoryIoBox;

  std::vector<ClockSource> clocks;
  std::optional<ClockSelector> selector;
  std::vector<InputTerminal> inputTerminals;
  std::vector<OutputTerminal> outputTerminals;
  std::vector<FeatureUnit> featureUnits;
  std::vector<StreamingInterface> streams;  // interface numbers 1, 2, ... in this order
  std::optional<StatusInterrupt> statusInterrupt;
  std::optional<MidiInterface> midi;
  std::vector<ExtraInterface> extraInterfaces;  // numbered after the audio function's

  DeviceBehaviour behaviour;
};

// The converters' delays in frames (DeviceBehaviour::dacDelayFrames); they
// add up to the loopback delay.
uint32_t DacDelayFrames(const DeviceBehaviour &behaviour);
uint32_t AdcDelayFrames(const DeviceBehaviour &behaviour);

// The entity terminals are clocked from: the selector when there is one,
// else the first clock source; 0 without clocks.
uint8_t ClockEntityId(const DeviceModel &model);

const ClockSource *FindClock(const DeviceModel &model, uint8_t id);
const StreamingInterface *FindStream(const DeviceModel &model, StreamDirection direction);

// The highest rate any clock of the model offers; 0 without rates.
uint32_t MaxClockRate(const DeviceModel &model);
// Whether the clock runs at `rate`: one of its rates, or, with subranges,
// inside one of them on its resolution grid.
bool ClockAccepts(const ClockSource &clock, uint32_t rate);
// The cluster of one alternate setting of the stream.
uint8_t FormatChannels(const StreamingInterface &stream, const StreamFormat &format);
// Interfaces of the configuration: AudioControl, streams, MIDI, extras.
size_t InterfaceCount(const DeviceModel &model);

// The highest rate a format is used at: its own limit, else the clocks'.
uint32_t FormatMaxRate(const DeviceModel &model, const StreamFormat &format);

// Bytes one service interval must carry at `rate`: the rate's samples per
// microframe (high speed) or frame (full speed), rounded up, plus one sample
// of headroom for a fast device clock.
uint32_t MaxPacketBytes(UsbSpeed speed, uint32_t rate, uint32_t channels, uint32_t subslot);

// wMaxPacketSize for `bytes` per service interval; high speed may use up to
// three transactions per microframe (bits 11-12). Nothing when it cannot fit.
std::optional<uint16_t> EncodeMaxPacketSize(UsbSpeed speed, uint32_t bytes);

// Bytes per service interval an encoded wMaxPacketSize allows.
uint32_t DecodeMaxPacketBytes(uint16_t wMaxPacketSize);

// Fills in input terminal, feature unit and output terminal for every stream
// whose terminalLink is 0, with entity ids 1, 2, 3, ... and the physical side
// given by its terminal type; clocked from ClockEntityId.
void AddStreamingTopology(DeviceModel &model, uint16_t renderSinkType = usb_const::kTerminalLineConnector,
                          uint16_t captureSourceType = usb_const::kTerminalLineConnector);

// The same device enumerating at full speed (packets per 1 ms frame).
DeviceModel FullSpeedVariant(const DeviceModel &model);

// The same device in firmware-update mode: one DFU interface, nothing else.
DeviceModel FirmwareUpdateVariant(const DeviceModel &model);

}  // namespace winsim::devices
