// A small AVStream minidriver filter with pins for the pin runtime's tests:
// pin 0 a render sink (data in, one instance), pin 1 a capture sink (data
// out, two instances), pin 2 a bridge with no instances; what reached the
// minidriver is recorded. Requests are sent as the I/O manager builds them
// for a user-mode caller (METHOD_NEITHER, RequestorMode UserMode).
#pragma once
#include <gtest/gtest.h>
#include <wdm.h>
#include <ks.h>

#include <functional>
#include <string>
#include <vector>

#include "ks_test_support.h"

namespace kstest {

extern const GUID kPinTestSet;  // the test filter's own property set
extern const GUID kPinTestFormat;  // sub format of the pins' ranges

// What the pins' callbacks do; each hook (when set) replaces the default.
struct PinScript {
  std::function<NTSTATUS(PKSPIN)> process;
  std::function<NTSTATUS(PKSPIN, KSSTATE, KSSTATE)> setState;
  std::function<NTSTATUS(PKSPIN)> create;
  std::function<NTSTATUS(PVOID, ULONG)> getValue;  // kPinTestSet id 0
  ULONG_PTR getInformation = 0;  // non-zero: the Information that get reports
};
PinScript &Pins();
// Replaces a pin descriptor's flags (the filter's descriptor is rebuilt at SetUp).
void SetPinFlags(ULONG id, ULONG flags);
std::vector<std::string> &PinLog();

struct Result {
  NTSTATUS status;
  ULONG_PTR information;
};

// The test filter's pins' KSPIN_CONNECT followed by a format of the range.
std::vector<UCHAR> ConnectRequest(ULONG pinId, const GUID &subFormat = kPinTestFormat);

class PinTest : public KsTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates a pin on the open filter; the new pin is *pin.
  Result Create(const std::vector<UCHAR> &request, PKSPIN *pin = nullptr);
  Result Control(PVOID object, ULONG code, const void *in, ULONG inSize, void *out, ULONG outSize,
                 PFILE_OBJECT file = nullptr);
  Result Property(PVOID object, const GUID &set, ULONG id, ULONG flags, void *out, ULONG outSize,
                  const void *extra = nullptr, ULONG extraSize = 0);
  Result SetState(PKSPIN pin, KSSTATE state);
  // A stream request left pending: Done() once it completed.
  struct Stream {
    PIRP irp = nullptr;
    KEVENT done;
    NTSTATUS sent = STATUS_SUCCESS;
    bool Done() { return KeReadStateEvent(&done) != 0; }
    NTSTATUS Status() const { return irp->IoStatus.Status; }
  };
  void Send(Stream *stream, PVOID pin, ULONG code, KSSTREAM_HEADER *headers, ULONG count,
            PFILE_OBJECT file = nullptr);
  void Free(Stream *stream);

  PKSFILTER filter = nullptr;
  FILE_OBJECT filterFile{};
  std::vector<FILE_OBJECT *> files;
};

}  // namespace kstest
