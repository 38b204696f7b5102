// `qav timing [SECONDS]`: opens an audio pin at the device's current rate,
// runs it for a while and reads how late the driver's isochronous transfers
// of that stream completed (the pin's URB timing record): a count of the
// transfers and a histogram of their lateness in USB frames.
#include <cstdio>

#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "tools/qav/timed_command.h"
#include "uac2common/directks/ksplatform.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

constexpr uint32_t kDefaultSeconds = 1;
constexpr uint32_t kMaxSeconds = 60;
constexpr USHORT kMaxChannels = 32;

struct OpenedPin {
  CKsAudPin *pin = nullptr;
  bool render = false;
  WAVEFORMATEXTENSIBLE wave{};
};

WAVEFORMATEXTENSIBLE Wave(USHORT channels, ULONG rate, USHORT containerBits, USHORT validBits) {
  WAVEFORMATEXTENSIBLE wave{};
  const bool extensible = containerBits != 16 || channels > 2;
  wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  wave.Format.nChannels = channels;
  wave.Format.nSamplesPerSec = rate;
  wave.Format.nBlockAlign = static_cast<WORD>(channels * containerBits / 8);
  wave.Format.nAvgBytesPerSec = rate * wave.Format.nBlockAlign;
  wave.Format.wBitsPerSample = containerBits;
  wave.Format.cbSize = extensible ? 22 : 0;
  wave.Samples.wValidBitsPerSample = validBits;
  wave.SubFormat = directks::kSubtypePcm;
  return wave;
}

// Opens the pin with the first format one of its ranges takes at `rate`:
// all its channels, 16-bit or 24 bits in 32.
bool OpenAtRate(CKsAudPin *pin, ULONG rate, OpenedPin *opened) {
  for (const TListNode<KSDATARANGE_AUDIO> *node = pin->GetDataRanges().GetHead(); node != nullptr;
       node = TList<KSDATARANGE_AUDIO>::GetNext(node)) {
    const KSDATARANGE_AUDIO *range = TList<KSDATARANGE_AUDIO>::GetData(node);
    const USHORT channels = static_cast<USHORT>(range->MaximumChannels < kMaxChannels ? range->MaximumChannels
                                                                                       : kMaxChannels);
    for (USHORT bits : {USHORT{16}, USHORT{32}}) {
      const WAVEFORMATEXTENSIBLE wave = Wave(channels, rate, bits, bits == 16 ? 16 : 24);
      if (channels == 0 || !pin->IsFormatSupported(&wave.Format)) continue;
      if (FAILED(pin->SetFormat(&wave.Format)) || FAILED(pin->Instantiate(0))) return false;
      opened->pin = pin;
      opened->wave = wave;
      return true;
    }
  }
  return false;
}

// A render pin if one takes the rate, else a capture pin.
bool OpenPin(CKsAudFilter &filter, ULONG rate, OpenedPin *opened) {
  for (const TList<CKsPin> *pins : {&filter.GetInSinkPins(), &filter.GetOutSinkPins()}) {
    for (const TListNode<CKsPin> *node = pins->GetHead(); node != nullptr; node = TList<CKsPin>::GetNext(node)) {
      opened->render = pins == &filter.GetInSinkPins();
      if (OpenAtRate(static_cast<CKsAudPin *>(TList<CKsPin>::GetData(node)), rate, opened)) return true;
    }
  }
  return false;
}

// Kernel streaming moves a pin one state at a time, up and down.
bool Run(CKsPin *pin) {
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    if (FAILED(pin->SetState(state))) return false;
  }
  return true;
}

void Close(CKsPin *pin) {
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE}) pin->SetState(state);
  pin->ClosePin();
}

void Report(CConsole &console, const OpenedPin &opened, uint32_t seconds, ULONG urbSize, const UrbTimingInfo &timing) {
  char line[160];
  std::snprintf(line, sizeof line, "stream: %s pin %u, %u ch, %u Hz, %u-bit, %u s, %u ms per USB transfer",
                opened.render ? "render" : "capture", static_cast<unsigned>(opened.pin->GetId()),
                opened.wave.Format.nChannels, static_cast<unsigned>(opened.wave.Format.nSamplesPerSec),
                opened.wave.Samples.wValidBitsPerSample, seconds, static_cast<unsigned>(urbSize));
  console.Out(line);
  console.Out("transfers completed: " + std::to_string(timing.Count));
  console.Out("frames late  transfers");
  ULONG late = 0;
  for (ULONG bucket = 0; bucket < UAC_URB_TIMING_BUCKETS; ++bucket) {
    if (bucket > 0) late += timing.Lateness[bucket];
    if (timing.Lateness[bucket] == 0) continue;
    std::snprintf(line, sizeof line, "%10u%s  %9u", static_cast<unsigned>(bucket),
                  bucket + 1 == UAC_URB_TIMING_BUCKETS ? "+" : " ", static_cast<unsigned>(timing.Lateness[bucket]));
    console.Out(line);
  }
  console.Out("late by a frame or more: " + std::to_string(late));
}

}  // namespace

int RunTiming(CConsole &console, const Args &args) {
  uint32_t seconds = 0;
  CQavDevice device;
  if (const int opened = OpenTimedCommand(console, args, kDefaultSeconds, kMaxSeconds, &seconds, &device);
      opened != kExitOk) {
    return opened;
  }
  ULONG rate = 0, urbSize = 0;
  if (FAILED(device.GetU32(KSPROPERTY_UAC_SAMPLE_RATE, &rate)) || rate == 0) {
    console.Err("the device's clock did not tell its rate");
    return kExitFailed;
  }
  OpenedPin opened;
  if (!OpenPin(device.Filter(), rate, &opened)) {
    console.Err("no audio pin of the device opened at " + std::to_string(rate) + " Hz (is another program using it?)");
    return kExitFailed;
  }
  UrbTimingInfo timing{};
  const bool ran = Run(opened.pin);
  if (ran) Sleep(seconds * 1000);
  const HRESULT read =
      opened.pin->GetPropertySimple(KSPROPSETID_UacPrivate, KSPROPERTY_UAC_URB_TIMING, &timing, sizeof timing);
  device.GetU32(KSPROPERTY_UAC_URB_SIZE, &urbSize);
  Close(opened.pin);
  if (!ran || FAILED(read)) {
    console.Err(ran ? "the driver did not give the stream's URB timing" : "the pin did not start running");
    return kExitFailed;
  }
  Report(console, opened, seconds, urbSize, timing);
  return kExitOk;
}

}  // namespace qav
