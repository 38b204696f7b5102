#include "tools/qav/host_midi_client.h"

#include <ksmedia.h>

#include <algorithm>
#include <cstring>

#include "tools/qav/host_commands.h"
#include "tools/qav/waited_ioctl.h"
#include "winsim/machine.h"

namespace qav {
namespace {

using KsCreatePinFunction = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

constexpr size_t kMaxNameBytes = 520;

// The pin's name as UTF-8 (the driver's names are ASCII); empty when it has none.
std::string PinName(HANDLE filter, uint32_t pinId) {
  KSP_PIN request{};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = KSPROPERTY_PIN_NAME;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  std::vector<WCHAR> name(kMaxNameBytes / sizeof(WCHAR), 0);
  DWORD bytes = 0;
  if (WaitedIoctl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, name.data(), kMaxNameBytes, &bytes) !=
      ERROR_SUCCESS) {
    return std::string();
  }
  std::string text;
  for (size_t i = 0; i < std::min<size_t>(bytes / sizeof(WCHAR), name.size()) && name[i] != 0; ++i) {
    text += name[i] < 0x80 ? static_cast<char>(name[i]) : '?';
  }
  return text;
}

bool IsMidiStreaming(const PinSummary &pin) {
  return std::any_of(pin.ranges.begin(), pin.ranges.end(), [](const RangeSummary &r) { return r.kind == "MIDI"; });
}

KsCreatePinFunction FindKsCreatePin() {
  HMODULE ksuser = LoadLibraryA("ksuser.dll");
  if (ksuser == nullptr) return nullptr;
  return reinterpret_cast<KsCreatePinFunction>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
}

}  // namespace

std::vector<MidiPinInfo> ReadMidiPins(winsim::Machine &machine, std::string *error) {
  std::vector<MidiPinInfo> midi;
  const std::vector<PinSummary> pins = ReadFilterPins(machine, error);
  if (!error->empty()) return midi;
  HANDLE filter = OpenDriverFilter(machine, error);
  if (filter == INVALID_HANDLE_VALUE) return midi;
  uint32_t cables[2] = {0, 0};
  for (const PinSummary &pin : pins) {
    if (!IsMidiStreaming(pin)) continue;
    MidiPinInfo info;
    info.id = pin.id;
    info.render = pin.dataFlow == KSPIN_DATAFLOW_IN;
    info.cable = cables[info.render ? 1 : 0]++;
    info.name = PinName(filter, pin.id);
    midi.push_back(info);
  }
  CloseHandle(filter);
  return midi;
}

CMidiPin::CMidiPin(HANDLE filter, HANDLE pin) : m_filter(filter), m_pin(pin) {
  m_read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CMidiPin::~CMidiPin() {
  if (m_reading) {
    CancelIo(m_pin);
    DWORD bytes = 0;
    GetOverlappedResult(m_pin, &m_read, &bytes, TRUE);
  }
  CloseHandle(m_read.hEvent);
  CloseHandle(m_pin);
  CloseHandle(m_filter);
}

std::unique_ptr<CMidiPin> CMidiPin::Open(winsim::Machine &machine, uint32_t pinId, std::string *error) {
  HANDLE filter = OpenDriverFilter(machine, error);
  if (filter == INVALID_HANDLE_VALUE) return nullptr;
  KsCreatePinFunction create = FindKsCreatePin();
  MidiConnect request = MidiConnectRequest(pinId);
  HANDLE pin = nullptr;
  const DWORD created = create != nullptr ? create(filter, &request.connect, GENERIC_READ | GENERIC_WRITE, &pin)
                                          : static_cast<DWORD>(ERROR_PROC_NOT_FOUND);
  if (created != ERROR_SUCCESS) {
    *error = "KsCreatePin refused MIDI pin " + std::to_string(pinId) + " with Win32 error " + std::to_string(created);
    CloseHandle(filter);
    return nullptr;
  }
  std::unique_ptr<CMidiPin> opened(new CMidiPin(filter, pin));
  if (const DWORD run = MidiSetRun(pin); run != ERROR_SUCCESS) {
    *error = "MIDI pin " + std::to_string(pinId) + " refused KSSTATE_RUN with Win32 error " + std::to_string(run);
    return nullptr;
  }
  return opened;
}

DWORD CMidiPin::Write(const std::vector<uint8_t> &bytes) { return MidiWriteBytes(m_pin, bytes); }

bool CMidiPin::PostRead() {
  ResetEvent(m_read.hEvent);
  std::memset(m_frame, 0, sizeof m_frame);
  m_header = MidiStreamHeader(m_frame, sizeof m_frame, 0);
  DWORD bytes = 0;
  const bool done = DeviceIoControl(m_pin, IOCTL_KS_READ_STREAM, nullptr, 0, &m_header, sizeof m_header, &bytes,
                                    &m_read) != FALSE;
  m_reading = done || GetLastError() == ERROR_IO_PENDING;
  if (done) SetEvent(m_read.hEvent);
  return m_reading;
}

bool CMidiPin::Poll(Record *record, DWORD *error) {
  *error = ERROR_SUCCESS;
  if (!m_reading || WaitForSingleObject(m_read.hEvent, 0) != WAIT_OBJECT_0) return false;
  DWORD bytes = 0;
  m_reading = false;
  if (!GetOverlappedResult(m_pin, &m_read, &bytes, FALSE)) {
    *error = GetLastError();
    return false;
  }
  DecodeMidiFrame(m_frame, sizeof m_frame, m_header.DataUsed, record);
  PostRead();
  return true;
}

}  // namespace qav
