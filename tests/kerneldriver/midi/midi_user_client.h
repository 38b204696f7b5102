// A user-mode client of the driver's MIDI pins: KsCreatePin with the MIDI
// data format, the walk to RUN, and KSMUSICFORMAT frames written and read
// through stream requests.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/kerneldriver/start/driver_harness.h"
#include "tests/kerneldriver/user_mode_client.h"

namespace dstest::midiclient {

struct MidiConnect {
  KSPIN_CONNECT connect;
  KSDATAFORMAT format;
};

inline MidiConnect Connect(ULONG pinId) {
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

inline DWORD SetRun(const umclient::CKsHandle &pin) {
  KSPROPERTY set{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET};
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    DWORD error = pin.Ioctl(IOCTL_KS_PROPERTY, &set, sizeof set, &state, sizeof state).error;
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

// One stream request, waited for.
inline DWORD Stream(const umclient::CKsHandle &pin, ULONG code, KSSTREAM_HEADER *header) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL done = DeviceIoControl(pin.Get(), code, nullptr, 0, header, sizeof *header, &bytes, &overlapped);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_IO_PENDING) {
    error = GetOverlappedResult(pin.Get(), &overlapped, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  return error;
}

inline KSSTREAM_HEADER Header(void *data, ULONG extent, ULONG used) {
  KSSTREAM_HEADER header{};
  header.Size = sizeof header;
  header.Data = data;
  header.FrameExtent = extent;
  header.DataUsed = used;
  return header;
}

// Writes the bytes as one KSMUSICFORMAT record in one frame.
inline DWORD WriteBytes(const umclient::CKsHandle &pin, const std::vector<UCHAR> &bytes) {
  std::vector<UCHAR> frame((sizeof(KSMUSICFORMAT) + bytes.size() + 7) & ~size_t{7});
  const KSMUSICFORMAT music{0, static_cast<ULONG>(bytes.size())};
  std::memcpy(frame.data(), &music, sizeof music);
  if (!bytes.empty()) std::memcpy(frame.data() + sizeof music, bytes.data(), bytes.size());
  KSSTREAM_HEADER header = Header(frame.data(), static_cast<ULONG>(frame.size()),
                                  static_cast<ULONG>(sizeof music + bytes.size()));
  return Stream(pin, IOCTL_KS_WRITE_STREAM, &header);
}

// One record read from a capture pin.
struct MidiRecord {
  DWORD error = ERROR_SUCCESS;
  ULONG timeDeltaMs = 0;
  std::vector<UCHAR> bytes;
};

inline MidiRecord ReadRecord(const umclient::CKsHandle &pin) {
  alignas(8) UCHAR frame[64] = {};
  KSSTREAM_HEADER header = Header(frame, sizeof frame, 0);
  MidiRecord record;
  record.error = Stream(pin, IOCTL_KS_READ_STREAM, &header);
  KSMUSICFORMAT music{};
  std::memcpy(&music, frame, sizeof music);
  if (record.error != ERROR_SUCCESS || header.DataUsed < sizeof music) return record;
  record.timeDeltaMs = music.TimeDeltaMs;
  record.bytes.assign(frame + sizeof music, frame + sizeof music + std::min<ULONG>(music.ByteCount, 56));
  return record;
}

}  // namespace dstest::midiclient
