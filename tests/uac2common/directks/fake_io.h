// A stand-in for the kernel behind the library's system calls: every
// DeviceIoControl the library makes is recorded and answered by a function
// the test sets, and event creation and waits can be made to fail. Installed
// for the lifetime of the object.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "uac2common/directks/directks.h"
#include "uac2common/directks/kssystem.h"

namespace kslibtest {

// A handle value the fake answers for; no real object has it.
inline HANDLE const kFakeHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7770));

struct IoRequest {
  HANDLE handle;
  DWORD code;
  std::vector<uint8_t> input;
  DWORD outputSize;
  bool hasOutput;
  HANDLE overlappedEvent;  // as the caller put it into its OVERLAPPED
};

struct IoAnswer {
  BOOL result = TRUE;
  DWORD error = ERROR_SUCCESS;  // GetLastError after a FALSE return
  DWORD bytes = 0;              // written to the caller's count
  std::vector<uint8_t> output;  // copied to the caller's buffer (at most its size)
  // Completes the request after it returned ERROR_IO_PENDING, with this
  // NTSTATUS in the OVERLAPPED and its event set.
  std::optional<LONG> pendingStatus;
};

class FakeIo {
 public:
  FakeIo();
  ~FakeIo();
  FakeIo(const FakeIo &) = delete;
  FakeIo &operator=(const FakeIo &) = delete;

  std::function<IoAnswer(const IoRequest &)> answer = [](const IoRequest &) { return IoAnswer{}; };
  std::vector<IoRequest> requests;
  bool failCreateEvent = false;
  std::optional<DWORD> waitResult;  // else the real wait

 private:
  static BOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
  static DWORD WINAPI FakeWait(HANDLE, DWORD);
  static FakeIo *s_active;
};

// Answers KSPROPSETID_Pin and KSPROPSETID_Topology requests as ks.sys does
// from a filter's descriptor, for pins and nodes the test describes. Lists
// are answered with the size protocol (no output: the size, with
// ERROR_MORE_DATA).
struct FakePin {
  ULONG communication = KSPIN_COMMUNICATION_SINK;
  ULONG dataFlow = KSPIN_DATAFLOW_IN;
  std::vector<KSPIN_INTERFACE> interfaces;
  std::vector<KSPIN_MEDIUM> mediums;
  std::vector<std::vector<uint8_t>> ranges;  // each padded to 8 bytes in the list
};

class FakeKsFilter {
 public:
  IoAnswer Answer(const IoRequest &request) const;

  std::vector<FakePin> pins;
  std::vector<GUID> nodes;
};

// The standard interface and medium, and audio ranges.
KSPIN_INTERFACE StandardInterface();
KSPIN_MEDIUM StandardMedium();
KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate);
std::vector<uint8_t> Bytes(const void *data, size_t size);
template <class T>
std::vector<uint8_t> Bytes(const T &value) {
  return Bytes(&value, sizeof value);
}
// A streaming audio pin with these ranges.
FakePin AudioPin(ULONG communication, ULONG dataFlow, std::vector<KSDATARANGE_AUDIO> ranges);

WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate);
WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD bits, DWORD rate, const GUID &subFormat);

// A filter class whose handle is the fake's: it answers through FakeIo.
template <class Base>
class FakeFilter : public Base {
 public:
  FakeFilter() : Base("\\\\?\\fake#filter", &s_status) { this->m_handle = kFakeHandle; }
  ~FakeFilter() override {
    this->DestroyLists();
    this->m_handle = INVALID_HANDLE_VALUE;
  }

 private:
  static inline HRESULT s_status = S_OK;  // a path is given: always S_OK
};

}  // namespace kslibtest
