#include "tools/qav/midi_pin_io.h"

#include <algorithm>
#include <cstring>

#include "tools/qav/waited_ioctl.h"

namespace qav {

MidiConnect MidiConnectRequest(ULONG pinId) {
  MidiConnect c{};
  c.connect.Interface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
  c.connect.Medium = {KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0};
  c.connect.PinId = pinId;
  c.connect.Priority = {KSPRIORITY_NORMAL, 1};
  c.format.FormatSize = sizeof(KSDATAFORMAT);
  c.format.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
  c.format.SubFormat = KSDATAFORMAT_SUBTYPE_MIDI;
  c.format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return c;
}

DWORD MidiSetRun(HANDLE pin) {
  KSPROPERTY set{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET};
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    DWORD bytes = 0;
    const DWORD error = WaitedIoctl(pin, IOCTL_KS_PROPERTY, &set, sizeof set, &state, sizeof state, &bytes);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

KSSTREAM_HEADER MidiStreamHeader(void *data, ULONG extent, ULONG used) {
  KSSTREAM_HEADER header{};
  header.Size = sizeof header;
  header.Data = data;
  header.FrameExtent = extent;
  header.DataUsed = used;
  return header;
}

DWORD MidiStream(HANDLE pin, DWORD code, KSSTREAM_HEADER *header) {
  DWORD bytes = 0;
  return WaitedIoctl(pin, code, nullptr, 0, header, sizeof *header, &bytes);
}

DWORD MidiWriteBytes(HANDLE pin, const std::vector<uint8_t> &bytes) {
  std::vector<uint8_t> frame((sizeof(KSMUSICFORMAT) + bytes.size() + 7) & ~size_t{7});
  const KSMUSICFORMAT music{0, static_cast<ULONG>(bytes.size())};
  std::memcpy(frame.data(), &music, sizeof music);
  if (!bytes.empty()) std::memcpy(frame.data() + sizeof music, bytes.data(), bytes.size());
  KSSTREAM_HEADER header = MidiStreamHeader(frame.data(), static_cast<ULONG>(frame.size()),
                                            static_cast<ULONG>(sizeof music + bytes.size()));
  return MidiStream(pin, IOCTL_KS_WRITE_STREAM, &header);
}

void DecodeMidiFrame(const uint8_t *frame, size_t frameSize, ULONG dataUsed, MidiRecord *record) {
  record->timeDeltaMs = 0;
  record->bytes.clear();
  KSMUSICFORMAT music{};
  if (frameSize < sizeof music || dataUsed < sizeof music) return;
  std::memcpy(&music, frame, sizeof music);
  const size_t held = std::min<size_t>(frameSize, dataUsed) - sizeof music;
  record->timeDeltaMs = music.TimeDeltaMs;
  record->bytes.assign(frame + sizeof music, frame + sizeof music + std::min<size_t>(music.ByteCount, held));
}

MidiRecord MidiReadRecord(HANDLE pin) {
  alignas(8) uint8_t frame[kMidiReadFrameBytes] = {};
  KSSTREAM_HEADER header = MidiStreamHeader(frame, sizeof frame, 0);
  MidiRecord record;
  record.error = MidiStream(pin, IOCTL_KS_READ_STREAM, &header);
  if (record.error == ERROR_SUCCESS) DecodeMidiFrame(frame, sizeof frame, header.DataUsed, &record);
  return record;
}

}  // namespace qav
