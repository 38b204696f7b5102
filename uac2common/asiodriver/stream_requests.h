// The stream requests of the streaming thread: per request set, one capture
// and one render request for every device, each with its own transfer
// buffer, KSSTREAM_HEADER, OVERLAPPED and auto-reset event. Sets are built
// when a streaming pass starts and freed when it ends; nothing here
// allocates once a set is built.
#pragma once
#include <windows.h>
#include <ks.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "uac2common/asiodriver/stream_copy.h"

class CKsPin;

namespace qavasio {

// One device as a pass streams it: its opened pins (null when it has none),
// the channels of their formats, and which host channels are its own.
struct StreamDevice {
  CKsPin *capturePin = nullptr;
  CKsPin *renderPin = nullptr;
  uint32_t captureChannels = 0;
  uint32_t renderChannels = 0;
  uint32_t firstInput = 0;
  uint32_t listedInputs = 0;
  uint32_t firstOutput = 0;
  uint32_t listedOutputs = 0;
};

struct StreamRequest {
  CKsPin *pin = nullptr;
  bool capture = false;
  bool pending = false;  // submitted and not yet seen complete
  KSSTREAM_HEADER header = {};
  OVERLAPPED overlapped = {};
  std::unique_ptr<int32_t[]> samples;
  uint32_t bytes = 0;
};

class CRequestSet {
 public:
  CRequestSet() = default;
  // Waits for whatever is still pending, then closes the events.
  ~CRequestSet();
  CRequestSet(const CRequestSet &) = delete;
  CRequestSet &operator=(const CRequestSet &) = delete;

  // One capture and one render request per device, for `frames` sample
  // frames each. False when a buffer or an event could not be made.
  bool Build(const std::vector<StreamDevice> &devices, uint32_t frames);

  // Capture requests first, then render requests, in device order; a
  // request without a pin has its event set instead. The first failing
  // request ends the submission with its result.
  HRESULT Submit();

  // What a wait-all on the set is given: per device its render request's
  // event, then its capture request's event.
  const HANDLE *Events() const { return m_events.data(); }
  DWORD EventCount() const { return static_cast<DWORD>(m_events.size()); }
  // Marks every request complete after the wait on Events() succeeded.
  void Completed();
  // Whether a completed capture request reported a gap in its data.
  bool AnyDiscontinuity() const;
  // Waits (bounded) for every request still pending, e.g. after the pins'
  // I/O was cancelled; the buffers may not go while the kernel holds them.
  void WaitPending(DWORD milliseconds);

  const DeviceTransfer *Inputs() const { return m_inputs.data(); }
  const DeviceTransfer *Outputs() const { return m_outputs.data(); }
  uint32_t DeviceCount() const { return static_cast<uint32_t>(m_inputs.size()); }

 private:
  static bool Prepare(StreamRequest &request, CKsPin *pin, bool capture, uint32_t channels, uint32_t frames);
  static void FreshHeader(StreamRequest &request);
  HRESULT SubmitOne(StreamRequest &request);

  std::vector<StreamRequest> m_capture;
  std::vector<StreamRequest> m_render;
  std::vector<HANDLE> m_events;
  std::vector<DeviceTransfer> m_inputs;
  std::vector<DeviceTransfer> m_outputs;
};

}  // namespace qavasio
