// A simulated USB Audio Class 2.0 interface on the bus: the UsbFunction the
// host controller talks to, built from a DeviceDefinition. It enumerates with
// the definition's descriptors, answers standard and audio class requests,
// streams audio on its own drifting sample clock, reports clock changes on
// its status interrupt endpoint, carries USB-MIDI, and commits the faults a
// test asks for.
//
// Threading: the host controller calls the UsbFunction members one at a time
// under its own lock; tests call the rest from any thread. One mutex guards
// all state. Callbacks a test installs (played sink, generators, fault
// predicates) run under that mutex and must not call back into the device.
// The device never calls into the host controller or the scheduler while it
// holds the mutex.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "winsim/devices/audio_engine.h"
#include "winsim/devices/clock_settle.h"
#include "winsim/devices/clock_tree.h"
#include "winsim/devices/configuration_state.h"
#include "winsim/devices/device_definition.h"
#include "winsim/devices/device_faults.h"
#include "winsim/devices/feature_units.h"
#include "winsim/devices/interface_layout.h"
#include "winsim/devices/midi_port.h"
#include "winsim/devices/standard_requests.h"
#include "winsim/devices/status_interrupt.h"
#include "winsim/usb/usb_function.h"

namespace winsim {
class Machine;
namespace usb {
struct UsbDeviceHandle;
}
}  // namespace winsim

namespace winsim::devices {

// Answers vendor requests for a test; called without the device's lock held.
using VendorHandler = std::function<usb::TransferOutcome(const usb::SetupPacket &setup, uint8_t *data)>;

struct StatusStats {
  uint64_t pending = 0;
  uint64_t sent = 0;
  uint64_t overflowed = 0;  // dropped because the host did not read them
};

class AudioDevice final : public usb::UsbFunction {
 public:
  explicit AudioDevice(DeviceDefinition definition);

  usb::BusSpeed Speed() const override;
  std::string Label() const override;
  usb::TransferOutcome Control(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now) override;
  // A rate or source change settles from the end of the request that made
  // it: the device re-locks while the host waits on the status stage, and
  // its clock reads settled only clockSettleMicroseconds after that.
  void ControlEnded(const usb::SetupPacket &setup, usb::VTime end) override;
  usb::TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length) override;
  usb::TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) override;
  usb::TransferOutcome BulkOrInterruptIn(uint8_t endpoint, usb::VTime now, uint8_t *buffer, uint32_t capacity) override;
  usb::TransferOutcome BulkOrInterruptOut(uint8_t endpoint, usb::VTime now, const uint8_t *data,
                                          uint32_t length) override;
  void BusReset(usb::VTime now) override;
  // A bus reset that also takes the class state back to what the device
  // powers up with: clock rates and validity, the selector input, mute and
  // volume. Counted.
  void PowerLoss(usb::VTime now) override;
  uint32_t PowerLosses() const;

  const DeviceDefinition &Definition() const { return m_definition; }

  // Configuration and clocks as the device sees them.
  uint8_t Configuration() const;
  uint8_t AlternateSetting(uint8_t interface) const;
  uint32_t ClockRate(uint8_t clockId) const;
  bool ClockValid(uint8_t clockId) const;
  uint8_t SelectorInput() const;
  uint8_t ActiveClock() const;
  uint32_t ActiveRate() const;
  // An external clock gaining or losing lock: CLOCK_VALID reads follow, and
  // a change queues a status interrupt message (when the device has the
  // endpoint). Unknown clocks are ignored.
  // Regaining lock on the clock the streams run from starts a settle
  // (DeviceBehaviour::clockSettleMicroseconds).
  void SetClockValid(uint8_t clockId, bool valid);
  // What an external clock locks to changed its rate (a rate the clock
  // lists): the clock follows, a status interrupt message reports its
  // sampling frequency changed, and the clock settles when the streams run
  // from it. False for an unknown or internal clock or an unlisted rate.
  bool SetLockedRate(uint8_t clockId, uint32_t rate);
  // The clock selector turned on the device (a front-panel switch): reported
  // on the status interrupt, and the new clock settles. False without a
  // selector or for an input it does not have.
  bool SwitchClockInput(uint8_t input);
  // The device's crystal, and one clock's own drift (ClockSource::driftPpm).
  void SetDriftPpm(int32_t driftPpm);
  bool SetClockDriftPpm(uint8_t clockId, int32_t driftPpm);
  // Data packets a settling clock left empty or unplayed.
  uint64_t SettleMutedPackets() const;
  void SofOffsetChanged(int32_t ppm) override;

  // The feature unit on the render or capture path (0: none), and its mute
  // and volume turned from outside the bus, as a front-panel knob would.
  // False for an unknown unit or channel or a volume out of range.
  uint8_t PathFeatureUnit(StreamDirection direction) const;
  bool SetFeatureMute(uint8_t unit, uint8_t channel, bool mute);
  bool SetFeatureVolume(uint8_t unit, uint8_t channel, int16_t volume);

  // Runs the device's clock through every microframe before `microframe`,
  // as the bus would: for checks after the host stopped sending.
  void AdvanceClockTo(uint64_t microframe);

  RenderStats Render() const;
  void SetPlayedSink(PlayedSink sink);
  OutputFrames RecentOutput(uint32_t frames) const;
  void SetOutputHistoryFrames(uint32_t frames);

  CaptureStats Capture() const;
  void SetCaptureSource(uint32_t channel, CaptureSource source);
  void SetCaptureSources(CaptureSource source);

  // The MIDI jacks (midi_port.h): what is played into the IN jacks, what
  // the driver sent to the OUT jacks, loopback and a held output.
  void InjectMidi(std::span<const MidiPacket> packets);
  void InjectMidiBytes(uint8_t cable, std::span<const uint8_t> bytes);
  std::vector<MidiPacket> MidiReceived(uint8_t cable) const;
  std::vector<uint8_t> MidiReceivedBytes(uint8_t cable) const;
  void SetMidiLoopback(bool on);
  void HoldMidiOut(bool held);
  MidiStats Midi() const;

  StatusStats Status() const;

  void EditFaults(const std::function<void(FaultKnobs &)> &edit);
  FaultCounts Faults() const;
  void SetVendorHandler(VendorHandler handler);

 private:
  usb::TransferOutcome ControlLocked(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now);
  usb::TransferOutcome ClassRequest(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now);
  // Queues a status interrupt message; true when the host must be told.
  bool QueueStatus(uint8_t entity, uint8_t selector);
  bool MutedBySettle(uint8_t endpoint, uint64_t microframe);
  bool ReportSettledLocked();
  usb::TransferOutcome IsoOutLocked(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length);
  usb::TransferOutcome IsoInLocked(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity);
  void Apply(const StandardEffect &effect);
  ClockParams Clock() const;
  void UpdateGains();
  void FindEndpoints();

  const DeviceDefinition m_definition;
  const InterfaceLayout m_layout;
  const uint8_t m_renderUnit;   // feature units on the DAC and ADC paths
  const uint8_t m_captureUnit;
  uint8_t m_statusEndpoint = 0;
  uint8_t m_midiInEndpoint = 0;
  uint8_t m_midiOutEndpoint = 0;

  mutable std::mutex m_mutex;
  ConfigurationState m_state;
  ClockTree m_clocks;
  ClockSettle m_settle;
  bool m_settleAwaitsRequestEnd = false;  // the request in progress started m_settle
  usb::VTime m_lastSeen = 0;  // the latest transaction time; changes made from outside happen then
  FeatureUnits m_features;
  AudioEngine m_engine;
  MidiPort m_midi;
  StatusInterruptQueue m_status;
  FaultInjector m_faults;
  VendorHandler m_vendor;
  int32_t m_driftPpm;
  int32_t m_sofOffsetPpm = 0;
  uint32_t m_powerLosses = 0;
};

// The simulated interface plugged into the machine under `handle`; null when
// nothing is plugged there or it is some other kind of USB function.
std::shared_ptr<AudioDevice> PluggedAudioDevice(const Machine &machine, const usb::UsbDeviceHandle &handle);

}  // namespace winsim::devices
