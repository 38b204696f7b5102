// `qav [--sim MODEL] play [SECONDS]`: plugs a simulated interface with its
// capture channels looping back its outputs, and from user mode (the
// directks client library on the filter's interface path) creates a render
// and a capture pin, writes the test signal through overlapped write-stream
// requests and reads the loopback through read-stream requests, then says
// what came back.
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>

#include "tools/qav/host_commands.h"
#include "uac2common/directks/audfilter.h"
#include "uac2common/directks/ksplatform.h"
#include "uac2common/uac2private.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/capture_source.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"
#include "winsim/user/device_paths.h"

namespace qav {
namespace {

constexpr uint32_t kRequestMs = 10;  // audio per stream request
constexpr uint32_t kDepth = 6;       // requests in flight on each pin
// Capture requests read after the last write, so the signal's end comes
// back whatever the round trip.
constexpr uint32_t kTailRequests = 30;
// Virtual time a request may take before the run is given up.
constexpr DWORD kRequestTimeoutMs = 1000;
constexpr uint32_t kMaxChannels = 32;

struct CRequest {
  OVERLAPPED overlapped{};
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
};

// Overlapped stream requests of one pin, completed oldest first.
class CStreamQueue {
 public:
  CStreamQueue(CKsAudPin *pin, bool capture) : m_pin(pin), m_capture(capture) {}
  ~CStreamQueue() {
    for (auto &request : m_requests) {
      WaitForSingleObject(request->overlapped.hEvent, kRequestTimeoutMs);
      CloseHandle(request->overlapped.hEvent);
    }
  }
  CStreamQueue(const CStreamQueue &) = delete;
  CStreamQueue &operator=(const CStreamQueue &) = delete;

  // Write: `data` goes out whole. Read: `data` is the room offered.
  bool Send(std::vector<uint8_t> data) {
    auto request = std::make_unique<CRequest>();
    request->data = std::move(data);
    request->header.Size = sizeof(KSSTREAM_HEADER);
    request->header.Data = request->data.data();
    request->header.FrameExtent = static_cast<ULONG>(request->data.size());
    request->header.DataUsed = m_capture ? 0 : request->header.FrameExtent;
    request->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HRESULT hr = m_capture ? m_pin->ReadData(&request->header, &request->overlapped)
                                 : m_pin->WriteData(&request->header, &request->overlapped);
    if (FAILED(hr)) {
      CloseHandle(request->overlapped.hEvent);
      return false;
    }
    m_requests.push_back(std::move(request));
    return true;
  }

  // The oldest request once complete, or null with *error set.
  std::unique_ptr<CRequest> Complete(std::string *error) {
    if (m_requests.empty()) {
      *error = "no request in flight";
      return nullptr;
    }
    std::unique_ptr<CRequest> oldest = std::move(m_requests.front());
    m_requests.pop_front();
    const DWORD wait = WaitForSingleObject(oldest->overlapped.hEvent, kRequestTimeoutMs);
    DWORD bytes = 0;
    const bool ok = wait == WAIT_OBJECT_0 && GetOverlappedResult(m_pin->GetHandle(), &oldest->overlapped, &bytes, FALSE);
    const DWORD last = ok ? ERROR_SUCCESS : GetLastError();
    if (wait != WAIT_OBJECT_0) {
      m_requests.push_front(std::move(oldest));  // still the driver's; waited for at close
      *error = std::string(m_capture ? "a read" : "a write") + "-stream request did not complete within " +
               std::to_string(kRequestTimeoutMs) + " ms of virtual time";
      return nullptr;
    }
    CloseHandle(oldest->overlapped.hEvent);
    oldest->overlapped.hEvent = nullptr;
    if (!ok) {
      *error = std::string(m_capture ? "a read" : "a write") + "-stream request failed with Win32 error " +
               std::to_string(last);
      return nullptr;
    }
    return oldest;
  }

 private:
  CKsAudPin *m_pin;
  bool m_capture;
  std::deque<std::unique_ptr<CRequest>> m_requests;
};

WAVEFORMATEXTENSIBLE WaveFormat(const PlayFormat &format) {
  WAVEFORMATEXTENSIBLE wave{};
  const bool extensible = format.containerBits != 16;
  wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  wave.Format.nChannels = format.channels;
  wave.Format.nSamplesPerSec = format.rate;
  wave.Format.nBlockAlign = static_cast<WORD>(format.BlockAlign());
  wave.Format.nAvgBytesPerSec = format.rate * format.BlockAlign();
  wave.Format.wBitsPerSample = format.containerBits;
  wave.Format.cbSize = extensible ? 22 : 0;
  wave.Samples.wValidBitsPerSample = format.validBits;
  wave.SubFormat = directks::kSubtypePcm;
  return wave;
}

enum PinKinds { kRender = 1, kCapture = 2, kBoth = 3 };

// The kinds of pin (PinKinds bits) that take the format.
int PinsTaking(const CKsAudFilter &filter, const PlayFormat &format) {
  const WAVEFORMATEXTENSIBLE wave = WaveFormat(format);
  return (filter.FindViableRenPin(&wave.Format) != nullptr ? kRender : 0) |
         (filter.FindViableCapPin(&wave.Format) != nullptr ? kCapture : 0);
}

// The widest format both pins take at 48 kHz (else 44.1 kHz): 24-in-32
// before 16-bit, as many channels as both have, so every channel captured
// hears a channel played. Empty with *error set when there is none.
// The client container is 16 bits first when the device carries no more than
// 16 bits: a wider client sample would lose its low bits on the way and the
// signal could not come back exact.
bool ChooseFormat(const CKsAudFilter &filter, uint32_t deviceBits, PlayFormat *chosen, std::string *error) {
  int seen = 0;
  const uint16_t wideFirst[] = {32, 16};
  const uint16_t narrowFirst[] = {16, 32};
  for (uint32_t rate : {48000u, 44100u}) {
    for (uint16_t bits : deviceBits <= 16 ? narrowFirst : wideFirst) {
      for (uint16_t channels = kMaxChannels; channels > 0; --channels) {
        const PlayFormat format{channels, rate, bits, static_cast<uint16_t>(bits == 16 ? 16 : 24)};
        const int kinds = PinsTaking(filter, format);
        seen |= kinds;
        if (kinds == kBoth) {
          *chosen = format;
          return true;
        }
      }
    }
  }
  if (seen == kRender) {
    *error = "the interface has no capture pin: play listens to the device's loopback through one";
  } else if (seen == kCapture) {
    *error = "the interface has no render pin to play the signal through";
  } else {
    *error = "no render and capture pin share a 16-bit or 24-in-32 format at 48 or 44.1 kHz";
  }
  return false;
}

std::string FilterPath(winsim::Machine &machine) {
  std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true);
  return found.empty() ? std::string() : winsim::UserInterfacePath(found.front());
}

bool RunPin(CKsAudPin *pin) {
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    if (FAILED(pin->SetState(state))) return false;
  }
  return true;
}

void StopPin(CKsAudPin *pin) {
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) pin->SetState(state);
}

// Keeps kDepth requests in flight on both pins: the render pin writes
// `renderRequests` requests of the signal, the capture pin reads as many
// and kTailRequests more. False with report->error set on the first failure.
bool Stream(CKsAudPin *render, CKsAudPin *capture, uint32_t renderRequests, PlayReport *report,
            std::vector<uint8_t> *captured) {
  const PlayFormat &format = report->format;
  const uint32_t frames = format.rate * kRequestMs / 1000;
  const size_t bytes = static_cast<size_t>(frames) * format.BlockAlign();
  const uint32_t captureRequests = renderRequests + kTailRequests;
  CStreamQueue writes(render, false), reads(capture, true);
  uint32_t written = 0, read = 0, writesDone = 0, readsDone = 0;
  auto write = [&]() {
    std::vector<uint8_t> data(bytes);
    WriteSignal(format, report->framesSent, frames, data.data());
    report->framesSent += frames;
    ++written;
    return writes.Send(std::move(data));
  };
  auto readOne = [&]() {
    ++read;
    return reads.Send(std::vector<uint8_t>(bytes));
  };
  bool sent = true;
  for (uint32_t i = 0; i < kDepth && sent; ++i) sent = (written >= renderRequests || write()) && readOne();
  if (!sent) {
    report->error = "a stream request was refused";
    return false;
  }
  while (readsDone < captureRequests) {
    if (writesDone < written) {
      if (!writes.Complete(&report->error)) return false;
      ++writesDone;
      if (written < renderRequests && !write()) {
        report->error = "a write-stream request was refused";
        return false;
      }
    }
    std::unique_ptr<CRequest> done = reads.Complete(&report->error);
    if (!done) return false;
    ++readsDone;
    if ((done->header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0) {
      ++report->flaggedDiscontinuities;
    }
    const size_t used = std::min<size_t>(done->header.DataUsed, done->data.size());
    captured->insert(captured->end(), done->data.begin(), done->data.begin() + static_cast<ptrdiff_t>(used));
    if (read < captureRequests && !readOne()) {
      report->error = "a read-stream request was refused";
      return false;
    }
  }
  return true;
}

void ReadFraming(CKsAudPin *pin, PlayReport *report) {
  KSALLOCATOR_FRAMING framing{};
  if (SUCCEEDED(pin->GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, &framing,
                                       sizeof framing))) {
    report->framingFrames = framing.Frames;
    report->framingFrameSize = framing.FrameSize;
  }
}

// The user-mode side of the run, on the machine's own thread.
void PlayThroughFilter(const std::string &path, uint32_t deviceBits, uint32_t milliseconds, PlayReport *report) {
  HRESULT hr = E_FAIL;
  CKsAudFilter filter(path.c_str(), &hr);
  if (FAILED(hr) || FAILED(filter.Instantiate()) || FAILED(filter.EnumeratePins())) {
    report->error = "the driver's filter could not be opened from user mode (" + path + ")";
    return;
  }
  if (filter.GetInSinkPins().GetCount() == 0 && filter.GetOutSinkPins().GetCount() == 0) {
    report->error = "the filter has no streaming pins";
    return;
  }
  if (!ChooseFormat(filter, deviceBits, &report->format, &report->error)) return;
  const WAVEFORMATEXTENSIBLE wave = WaveFormat(report->format);
  CKsAudPin *render = filter.CreateRenderPin(&wave.Format, 0);
  CKsAudPin *capture = render != nullptr ? filter.CreateCapturePin(&wave.Format, 0) : nullptr;
  if (render == nullptr || capture == nullptr) {
    report->error = std::string("KsCreatePin refused the ") + (render == nullptr ? "render" : "capture") + " pin";
    if (render != nullptr) render->ClosePin();
    return;
  }
  report->renderPin = render->GetId();
  report->capturePin = capture->GetId();
  ReadFraming(render, report);
  std::vector<uint8_t> captured;
  if (!RunPin(capture) || !RunPin(render)) {
    report->error = "the pins refused KSSTATE_RUN";
  } else if (Stream(render, capture, milliseconds / kRequestMs, report, &captured)) {
    report->ok = true;
    report->comparison = CompareCapture(report->format, report->framesSent, captured);
  }
  StopPin(render);
  StopPin(capture);
  render->ClosePin();
  capture->ClosePin();
}

// The most bits any of the device's stream formats carries.
uint32_t WidestResolution(const winsim::devices::DeviceModel &model) {
  uint32_t bits = 0;
  for (const auto &stream : model.streams) {
    for (const auto &format : stream.formats) bits = std::max<uint32_t>(bits, format.bitResolution);
  }
  return bits;
}

}  // namespace

PlayReport PlayDevice(const winsim::devices::DeviceDefinition &definition, uint32_t milliseconds) {
  PlayReport report;
  winsim::MachineOptions options;
  options.threadName = "qav";
  winsim::Machine machine(options);
  report.error = InstallQavAudio(machine, definition);
  if (!report.error.empty()) return report;
  auto device = std::make_shared<winsim::devices::AudioDevice>(definition);
  for (uint32_t c = 0; c < kMaxChannels; ++c) {
    device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
  }
  winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  const std::string path = FilterPath(machine);
  if (path.empty()) {
    report.error = "the driver did not start on the interface (`qav start` says why)";
  } else {
    PlayThroughFilter(path, WidestResolution(definition.model), milliseconds, &report);
  }
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  return report;
}

}  // namespace qav
