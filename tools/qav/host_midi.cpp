// `qav [--sim MODEL] midi list | send CABLE HEX... | monitor [SECONDS]` on a
// simulated machine: the interface is plugged, the driver starts, and a
// user-mode client opens the MIDI pins. send reads back what the device's
// MIDI OUT jack received; monitor plays a built-in sequence into the
// device's MIDI IN jacks, as a keyboard on them would, and prints what each
// capture pin reads.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "tools/qav/host_commands.h"
#include "tools/qav/host_midi.h"
#include "tools/qav/host_midi_client.h"
#include "winsim/devices/audio_device.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"

namespace qav {
namespace {

using winsim::devices::MidiPacket;

// Time the device has to take a write before its OUT jack is read.
constexpr DWORD kSettleMs = 20;
// The monitor's sequence: a note every kNoteMs, held for kHoldMs, on each cable.
constexpr uint32_t kNoteMs = 250;
constexpr uint32_t kHoldMs = 100;
constexpr uint32_t kPollMs = 1;
constexpr uint8_t kNotes[] = {0x3C, 0x40, 0x43, 0x48};

// The machine with the driver and the interface plugged, for one command.
class CMidiMachine {
 public:
  explicit CMidiMachine(const SimSource &source) : m_machine(Options()) {
    SimDevice sim = LoadSimDevice(source);
    if (!sim.ok) {
      m_error = sim.error;
      return;
    }
    m_error = InstallQavAudio(m_machine, sim.definition);
    if (!m_error.empty()) return;
    m_handle = m_machine.PlugDevice(std::make_shared<winsim::devices::AudioDevice>(sim.definition));
    m_machine.Pnp().WaitIdle();
    m_device = winsim::devices::PluggedAudioDevice(m_machine, m_handle);
    if (m_device == nullptr) m_error = "the simulated interface did not stay plugged";
  }
  ~CMidiMachine() {
    if (m_handle.Valid()) m_machine.UnplugDevice(m_handle, false);
    m_machine.Pnp().WaitIdle();
  }

  const std::string &Error() const { return m_error; }
  winsim::Machine &Machine() { return m_machine; }
  winsim::devices::AudioDevice &Device() { return *m_device; }

 private:
  static winsim::MachineOptions Options() {
    winsim::MachineOptions options;
    options.threadName = "qav";
    return options;
  }

  winsim::Machine m_machine;
  winsim::usb::UsbDeviceHandle m_handle;
  std::shared_ptr<winsim::devices::AudioDevice> m_device;
  std::string m_error;
};

std::string Describe(const MidiPinInfo &pin) {
  std::string line = "pin " + std::to_string(pin.id) + ": " + (pin.render ? "render" : "capture") + " cable " +
                     std::to_string(pin.cable) + ", ";
  line += pin.name.empty() ? "no name (the driver names pins only when a direction has more than one)"
                           : "\"" + pin.name + "\"";
  return line;
}

MidiOutcome Fail(std::string error) {
  MidiOutcome outcome;
  outcome.error = std::move(error);
  return outcome;
}

MidiOutcome List(const std::vector<MidiPinInfo> &pins) {
  MidiOutcome outcome;
  outcome.ok = true;
  for (const MidiPinInfo &pin : pins) outcome.lines.push_back(Describe(pin));
  return outcome;
}

std::string PacketLine(const MidiPacket &p) {
  static const uint8_t kBytesPerCin[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
  const uint8_t count = kBytesPerCin[p[0] & 0x0F];
  return "  " + HexText(p.data(), p.size()) + "   cable " + std::to_string(p[0] >> 4) + ", CIN " +
         std::to_string(p[0] & 0x0F) + ": " + (count != 0 ? HexText(p.data() + 1, count) : std::string("nothing"));
}

MidiOutcome Send(CMidiMachine &sim, const std::vector<MidiPinInfo> &pins, const MidiRequest &request) {
  const MidiPinInfo *target = nullptr;
  for (const MidiPinInfo &pin : pins) {
    if (pin.render && pin.cable == request.cable) target = &pin;
  }
  if (target == nullptr) return Fail("the interface has no MIDI OUT cable " + std::to_string(request.cable));
  std::string error;
  std::unique_ptr<CMidiPin> pin = CMidiPin::Open(sim.Machine(), target->id, &error);
  if (!pin) return Fail(error);
  const size_t before = sim.Device().MidiReceived(static_cast<uint8_t>(request.cable)).size();
  if (const DWORD written = pin->Write(request.bytes); written != ERROR_SUCCESS) {
    return Fail("the write-stream request failed with Win32 error " + std::to_string(written));
  }
  Sleep(kSettleMs);
  const std::vector<MidiPacket> all = sim.Device().MidiReceived(static_cast<uint8_t>(request.cable));
  const std::vector<MidiPacket> arrived(all.begin() + static_cast<ptrdiff_t>(std::min(before, all.size())), all.end());
  MidiOutcome outcome;
  outcome.ok = true;
  outcome.lines.push_back("wrote " + std::to_string(request.bytes.size()) + " bytes through render pin " +
                          std::to_string(target->id) + " (cable " + std::to_string(request.cable) + ")");
  outcome.lines.push_back("the device's MIDI OUT jack " + std::to_string(request.cable) + " received " +
                          std::to_string(arrived.size()) + " USB-MIDI packets:");
  for (const MidiPacket &p : arrived) outcome.lines.push_back(PacketLine(p));
  // Running status is spelled out in packets: compare with the messages the
  // written bytes hold, as the device's firmware would pack them.
  const std::vector<uint8_t> bytes = winsim::devices::UnpackMidiBytes(arrived);
  const std::vector<uint8_t> expected = winsim::devices::UnpackMidiBytes(
      winsim::devices::PackMidiBytes(static_cast<uint8_t>(request.cable), request.bytes));
  outcome.lines.push_back(bytes == expected ? "the messages arrived as written"
                                            : "the jack's bytes differ from the messages written: " +
                                                  HexText(bytes.data(), bytes.size()));
  return outcome;
}

// The sequence event at `ms` for a cable, if any: note on at every
// multiple of kNoteMs, its note off kHoldMs later.
bool SequenceEvent(uint32_t ms, uint32_t cable, std::vector<uint8_t> *bytes) {
  const uint8_t note = static_cast<uint8_t>(kNotes[(ms / kNoteMs) % sizeof kNotes] + cable);
  if (ms % kNoteMs == 0) *bytes = {0x90, note, 0x64};
  else if (ms % kNoteMs == kHoldMs) *bytes = {0x80, note, 0x40};
  else return false;
  return true;
}

struct CaptureListener {
  MidiPinInfo info;
  std::unique_ptr<CMidiPin> pin;
};

MidiOutcome Monitor(CMidiMachine &sim, const std::vector<MidiPinInfo> &pins, uint32_t seconds) {
  std::vector<CaptureListener> listeners;
  for (const MidiPinInfo &info : pins) {
    if (info.render) continue;
    std::string error;
    std::unique_ptr<CMidiPin> pin = CMidiPin::Open(sim.Machine(), info.id, &error);
    if (!pin) return Fail(error);
    if (!pin->PostRead()) return Fail("a read-stream request on pin " + std::to_string(info.id) + " was refused");
    listeners.push_back({info, std::move(pin)});
  }
  if (listeners.empty()) return Fail("the interface has no MIDI IN cable to monitor");
  MidiOutcome outcome;
  outcome.ok = true;
  outcome.lines.push_back("input: a built-in sequence played into the device's MIDI IN jacks (a note on every " +
                          std::to_string(kNoteMs) + " ms, off " + std::to_string(kHoldMs) +
                          " ms later, on every cable), for " + std::to_string(seconds) + " s of virtual time");
  outcome.lines.push_back("time: ms since the pin entered RUN (from the driver), delta: ms since the pin's last message");
  std::vector<uint32_t> last(listeners.size(), 0);
  for (uint32_t ms = 0; ms < seconds * 1000; ms += kPollMs) {
    for (const CaptureListener &l : listeners) {
      std::vector<uint8_t> bytes;
      if (SequenceEvent(ms, l.info.cable, &bytes)) sim.Device().InjectMidiBytes(static_cast<uint8_t>(l.info.cable), bytes);
    }
    Sleep(kPollMs);
    for (size_t i = 0; i < listeners.size(); ++i) {
      CMidiPin::Record record;
      DWORD error = ERROR_SUCCESS;
      while (listeners[i].pin->Poll(&record, &error)) {
        char line[160];
        std::snprintf(line, sizeof line, "  [%6u ms] +%-5u pin %u cable %u: %-9s %s", record.timeDeltaMs,
                      record.timeDeltaMs - last[i], listeners[i].info.id, listeners[i].info.cable,
                      HexText(record.bytes.data(), record.bytes.size()).c_str(), MidiMessageKind(record.bytes).c_str());
        last[i] = record.timeDeltaMs;
        outcome.lines.push_back(line);
      }
      if (error != ERROR_SUCCESS) return Fail("a read-stream request failed with Win32 error " + std::to_string(error));
    }
  }
  return outcome;
}

}  // namespace

MidiOutcome RunMidiRequest(const SimSource &source, const MidiRequest &request) {
  CMidiMachine sim(source);
  if (!sim.Error().empty()) return Fail(sim.Error());
  std::string error;
  const std::vector<MidiPinInfo> pins = ReadMidiPins(sim.Machine(), &error);
  if (!error.empty()) return Fail(error);
  if (pins.empty()) return Fail("the interface has no MIDI pins (" + source.name + " carries no MIDI streaming interface)");
  switch (request.kind) {
    case MidiRequest::Kind::List: return List(pins);
    case MidiRequest::Kind::Send: return Send(sim, pins, request);
    case MidiRequest::Kind::Monitor: return Monitor(sim, pins, request.seconds);
  }
  return Fail("unknown request");
}

int RunMidi(const SimSource &source, const std::vector<std::string> &words) {
  MidiRequest request;
  std::string error;
  if (!ParseMidiRequest(words, &request, &error)) {
    std::fprintf(stderr, "qav midi: %s\n", error.c_str());
    return 2;
  }
  const MidiOutcome outcome = RunMidiRequest(source, request);
  if (!outcome.ok) {
    std::fprintf(stderr, "qav midi: %s\n", outcome.error.c_str());
    return 1;
  }
  for (const std::string &line : outcome.lines) std::printf("%s\n", line.c_str());
  return 0;
}

}  // namespace qav
