// The driver's MIDI pins from user mode, as a MIDI client drives them:
// KSPROPSETID_Pin to find and name them, KsCreatePin with the MIDI data
// format, the walk to RUN, KSMUSICFORMAT frames written and read (the pin
// I/O of midi_pin_io.h). Runs on a thread of the simulated machine.
#pragma once
#include <windows.h>
#include <ks.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/qav/host_midi.h"
#include "tools/qav/midi_pin_io.h"

namespace winsim {
class Machine;
}

namespace qav {

// The filter's MIDI streaming pins, with their names; empty with *error set
// when the filter could not be read.
std::vector<MidiPinInfo> ReadMidiPins(winsim::Machine &machine, std::string *error);

// One MIDI pin instance in RUN; closed at destruction.
class CMidiPin {
 public:
  ~CMidiPin();
  CMidiPin(const CMidiPin &) = delete;
  CMidiPin &operator=(const CMidiPin &) = delete;

  // Null with *error set when the filter, the pin or RUN was refused.
  static std::unique_ptr<CMidiPin> Open(winsim::Machine &machine, uint32_t pinId, std::string *error);

  // The bytes as one KSMUSICFORMAT record; the Win32 error.
  DWORD Write(const std::vector<uint8_t> &bytes);

  // An overlapped read of one frame; Poll says whether it completed and, if
  // so, gives its record (time since RUN and bytes) and posts the next read.
  bool PostRead();
  using Record = MidiRecord;
  bool Poll(Record *record, DWORD *error);

 private:
  CMidiPin(HANDLE filter, HANDLE pin);

  HANDLE m_filter;
  HANDLE m_pin;
  OVERLAPPED m_read{};
  KSSTREAM_HEADER m_header{};
  alignas(8) uint8_t m_frame[kMidiReadFrameBytes] = {};
  bool m_reading = false;
};

}  // namespace qav
