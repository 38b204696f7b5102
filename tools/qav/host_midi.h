// `qav midi`: the driver's MIDI pins on a simulated interface, from user
// mode. list names the pins, send writes bytes through a render pin and
// shows what reached the device's MIDI OUT jack, monitor prints what the
// capture pins receive while a built-in sequence is played into the
// device's MIDI IN jacks. Host build only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/qav/sim_source.h"

namespace qav {

// A MIDI streaming pin of the filter. Pins of one direction are numbered by
// cable in the order the driver made them.
struct MidiPinInfo {
  uint32_t id = 0;
  bool render = false;  // data flows to the device
  uint32_t cable = 0;
  std::string name;     // KSPROPERTY_PIN_NAME; empty when the driver gives none
};

// What `qav midi ARGS...` asks for.
struct MidiRequest {
  enum class Kind { List, Send, Monitor } kind = Kind::List;
  uint32_t cable = 0;          // send
  std::vector<uint8_t> bytes;  // send
  uint32_t seconds = 2;        // monitor
};

// The words after `midi`; false with *error (one line) when they do not
// form a request.
bool ParseMidiRequest(const std::vector<std::string> &words, MidiRequest *request, std::string *error);

// Hex byte tokens ("90", "3c", "F07E7F"): false with *error on anything
// else or more than kMaxMidiSendBytes bytes.
inline constexpr size_t kMaxMidiSendBytes = 65536;
bool ParseHexBytes(const std::vector<std::string> &tokens, std::vector<uint8_t> *bytes, std::string *error);

// "90 3C 64"
std::string HexText(const uint8_t *bytes, size_t count);
// A word for the message a status byte starts: "note on", "SysEx" ...
std::string MidiMessageKind(const std::vector<uint8_t> &message);

// The command's lines, the last a verdict for send; ok false with one error
// line when it could not run.
struct MidiOutcome {
  bool ok = false;
  std::string error;
  std::vector<std::string> lines;
};

MidiOutcome RunMidiRequest(const SimSource &source, const MidiRequest &request);

// Parses, runs and prints; the process exit code.
int RunMidi(const SimSource &source, const std::vector<std::string> &words);

}  // namespace qav
