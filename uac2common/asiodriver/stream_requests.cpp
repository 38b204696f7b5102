#include "uac2common/asiodriver/stream_requests.h"

#include <cstring>
#include <new>

#include "uac2common/directks/pin.h"

namespace qavasio {

CRequestSet::~CRequestSet() {
  WaitPending(2000);
  for (auto *requests : {&m_capture, &m_render}) {
    for (StreamRequest &request : *requests) {
      if (request.overlapped.hEvent != nullptr) CloseHandle(request.overlapped.hEvent);
      request.overlapped.hEvent = nullptr;
    }
  }
}

bool CRequestSet::Prepare(StreamRequest &request, CKsPin *pin, bool capture, uint32_t channels, uint32_t frames) {
  request.pin = pin;
  request.capture = capture;
  // Auto-reset and created signalled, so that a set nobody submitted yet
  // never holds up a wait.
  request.overlapped.hEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  if (request.overlapped.hEvent == nullptr) return false;
  if (pin == nullptr || channels == 0) return true;
  const uint64_t samples = uint64_t{channels} * frames;
  if (samples * sizeof(int32_t) > 0xFFFFFFFFu) return false;
  request.samples.reset(new (std::nothrow) int32_t[samples]());
  if (request.samples == nullptr) return false;
  request.bytes = static_cast<uint32_t>(samples * sizeof(int32_t));
  return true;
}

bool CRequestSet::Build(const std::vector<StreamDevice> &devices, uint32_t frames) {
  m_capture.resize(devices.size());
  m_render.resize(devices.size());
  m_inputs.resize(devices.size());
  m_outputs.resize(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    const StreamDevice &device = devices[i];
    if (!Prepare(m_capture[i], device.capturePin, true, device.captureChannels, frames)) return false;
    if (!Prepare(m_render[i], device.renderPin, false, device.renderChannels, frames)) return false;
    m_events.push_back(m_render[i].overlapped.hEvent);
    m_events.push_back(m_capture[i].overlapped.hEvent);
    m_inputs[i] = {m_capture[i].samples ? device.captureChannels : 0, device.firstInput, device.listedInputs,
                   m_capture[i].samples.get()};
    m_outputs[i] = {m_render[i].samples ? device.renderChannels : 0, device.firstOutput, device.listedOutputs,
                    m_render[i].samples.get()};
  }
  return true;
}

void CRequestSet::FreshHeader(StreamRequest &request) {
  std::memset(&request.header, 0, sizeof request.header);
  request.header.Size = sizeof(KSSTREAM_HEADER);
  request.header.PresentationTime.Numerator = 1;
  request.header.PresentationTime.Denominator = 1;
  request.header.FrameExtent = request.bytes;
  request.header.DataUsed = request.capture ? 0 : request.bytes;
  request.header.Data = request.samples.get();
}

HRESULT CRequestSet::SubmitOne(StreamRequest &request) {
  if (request.pin == nullptr || request.samples == nullptr) {
    SetEvent(request.overlapped.hEvent);
    return S_OK;
  }
  FreshHeader(request);
  ResetEvent(request.overlapped.hEvent);
  const HANDLE event = request.overlapped.hEvent;
  std::memset(&request.overlapped, 0, sizeof request.overlapped);
  request.overlapped.hEvent = event;
  HRESULT hr = request.capture ? request.pin->ReadData(&request.header, &request.overlapped)
                               : request.pin->WriteData(&request.header, &request.overlapped);
  if (SUCCEEDED(hr)) {
    request.pending = true;
  } else {
    // Nothing was queued: the set's wait must not hang on this request.
    SetEvent(event);
  }
  return hr;
}

HRESULT CRequestSet::Submit() {
  HRESULT last = S_OK;
  for (auto *requests : {&m_capture, &m_render}) {
    for (StreamRequest &request : *requests) {
      last = SubmitOne(request);
      if (FAILED(last)) return last;
    }
  }
  return last;
}

void CRequestSet::Completed() {
  for (auto *requests : {&m_capture, &m_render}) {
    for (StreamRequest &request : *requests) request.pending = false;
  }
}

bool CRequestSet::AnyDiscontinuity() const {
  for (const StreamRequest &request : m_capture) {
    if (request.samples != nullptr && (request.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0) {
      return true;
    }
  }
  return false;
}

void CRequestSet::WaitPending(DWORD milliseconds) {
  for (auto *requests : {&m_capture, &m_render}) {
    for (StreamRequest &request : *requests) {
      if (!request.pending) continue;
      WaitForSingleObject(request.overlapped.hEvent, milliseconds);
      request.pending = false;
    }
  }
}

}  // namespace qavasio
