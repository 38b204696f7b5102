// The driver's MIDI pins driven through handles a user-mode client holds:
// the connection KsCreatePin takes, the walk to RUN, and KSMUSICFORMAT
// frames written and read with stream requests. Every call returns the Win32
// error; any thread of the machine (or process) the handles belong to.
#pragma once
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qav {

// A KSPIN_CONNECT followed by its data format (music, MIDI), as KsCreatePin takes it.
struct MidiConnect {
  KSPIN_CONNECT connect;
  KSDATAFORMAT format;
};
MidiConnect MidiConnectRequest(ULONG pinId);

// KSSTATE_ACQUIRE, PAUSE and RUN in turn: kernel streaming moves a pin one
// state at a time. The first refusal's error.
DWORD MidiSetRun(HANDLE pin);

KSSTREAM_HEADER MidiStreamHeader(void *data, ULONG extent, ULONG used);
// One stream request (IOCTL_KS_WRITE_STREAM or IOCTL_KS_READ_STREAM) with
// its header, waited for.
DWORD MidiStream(HANDLE pin, DWORD code, KSSTREAM_HEADER *header);

// The bytes as one KSMUSICFORMAT record in one frame.
DWORD MidiWriteBytes(HANDLE pin, const std::vector<uint8_t> &bytes);

// A record read from a capture pin: milliseconds since the pin entered RUN
// and the message bytes.
struct MidiRecord {
  DWORD error = ERROR_SUCCESS;
  uint32_t timeDeltaMs = 0;
  std::vector<uint8_t> bytes;
};

// The bytes a read frame holds: a record's frame and what reads use.
constexpr size_t kMidiReadFrameBytes = 64;

// The record of a completed read whose header said `dataUsed` bytes of the
// `frameSize`-byte frame: no record when less than a KSMUSICFORMAT; the byte
// count believed only as far as the frame and `dataUsed` hold bytes.
void DecodeMidiFrame(const uint8_t *frame, size_t frameSize, ULONG dataUsed, MidiRecord *record);

// One read of a kMidiReadFrameBytes frame, waited for.
MidiRecord MidiReadRecord(HANDLE pin);

}  // namespace qav
