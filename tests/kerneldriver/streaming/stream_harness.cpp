#include "stream_harness.h"

#include "winsim/kernel/trace_logger_decode.h"

#include <algorithm>

namespace sttest {

UsbAudioDevice *ContextOf(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PKSDEVICE ksDevice = top != pdo ? KsGetDeviceForDeviceObject(top) : nullptr;
  ObDereferenceObject(top);
  return AudioDeviceFromKs(ksDevice);
}

bool Running(UsbAudioStream *stream) { return InterlockedCompareExchange(&stream->running, 0, 0) != 0; }

bool LogHas(const winsim::Machine &machine, const std::string &text) {
  for (const auto &line : machine.Log()) {
    if (line.text.find(text) != std::string::npos) return true;
  }
  if (machine.TraceLog() == nullptr) return false;
  for (const std::string &line : winsim::LoggerTexts(*machine.TraceLog())) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void StreamTest::TearDown() {
  for (;;) {
    TestPin *last = nullptr;
    {
      std::lock_guard guard(m_runningLock);
      if (m_running.empty()) break;
      last = m_running.back();
    }
    Leave(*last);
  }
  if (device) device->SetPlayedSink(nullptr);
  DriverStartTest::TearDown();
}

uint64_t StreamTest::Microframe() const { return machine.Bus(1)->Controller().CurrentMicroframe(); }

TestPin &StreamTest::RenderPin() {
  m_pins.push_back(std::make_unique<TestPin>(TestPin::Kind::Render, Ctx().renderStream, [this] { return Microframe(); }));
  return *m_pins.back();
}

TestPin &StreamTest::CapturePin() {
  m_pins.push_back(
      std::make_unique<TestPin>(TestPin::Kind::Capture, Ctx().captureStream, [this] { return Microframe(); }));
  return *m_pins.back();
}

StreamTest::RunningPins StreamTest::RunBoth() {
  TestPin &render = RenderPin();
  TestPin &capture = CapturePin();
  Run(capture);
  Run(render);
  return RunningPins{render, capture};
}

void StreamTest::Run(TestPin &pin) {
  UsbAudioDevice &context = Ctx();
  UsbAudioStreamStateLock(&context);
  startStatuses.push_back(UsbAudioStreamAttachPin(pin.Stream(), &pin));
  {
    std::lock_guard guard(m_runningLock);
    m_running.push_back(&pin);
  }
  if (InterlockedIncrement(&context.runningAudioPins) == 1) {
    UsbAudioStream *streams[] = {context.captureStream, context.renderStream};
    for (UsbAudioStream *stream : streams) {
      if (stream != nullptr) startStatuses.push_back(UsbAudioStreamPrepareTransfers(stream));
    }
    for (UsbAudioStream *stream : streams) {
      if (stream != nullptr) startStatuses.push_back(UsbAudioStreamStart(stream));
    }
  }
  UsbAudioStreamStateUnlock(&context);
}

void StreamTest::Leave(TestPin &pin) {
  UsbAudioDevice *context = Context();
  {
    std::lock_guard guard(m_runningLock);
    m_running.erase(std::remove(m_running.begin(), m_running.end(), &pin), m_running.end());
  }
  if (context == nullptr) return;
  UsbAudioStreamStateLock(context);
  UsbAudioStreamDetachPin(pin.Stream(), &pin);
  if (InterlockedDecrement(&context->runningAudioPins) == 0) {
    UsbAudioStream *streams[] = {context->captureStream, context->renderStream};
    for (UsbAudioStream *stream : streams) {
      if (stream != nullptr) UsbAudioStreamStop(stream);
    }
    for (UsbAudioStream *stream : streams) {
      if (stream != nullptr) UsbAudioStreamFreeTransfers(stream);
    }
  }
  UsbAudioStreamStateUnlock(context);
}

void StreamTest::WatchPlayedOutput() {
  {
    std::lock_guard guard(m_playedLock);
    m_played = RampChecker();
    m_playedFrames = 0;
  }
  device->SetPlayedSink([this](uint64_t, uint32_t frames, uint32_t channels, const int32_t *samples) {
    std::lock_guard guard(m_playedLock);
    m_played.SetChannels(channels);
    m_played.Feed(samples, frames);
    m_playedFrames += frames;
  });
}

RampChecker StreamTest::Played() const {
  std::lock_guard guard(m_playedLock);
  return m_played;
}

double StreamTest::MeanRenderRate(uint32_t milliseconds) {
  double sum = 0;
  for (uint32_t i = 0; i < milliseconds; ++i) {
    machine.RunFor(10000);
    sum += Render().samplesPerMicroframe;
  }
  return milliseconds == 0 ? 0 : sum / milliseconds;
}

void StreamTest::ExpectRateMatched(const winsim::devices::RenderStats &stats) {
  EXPECT_TRUE(stats.playing);
  EXPECT_EQ(stats.underrunEvents, 0u);
  EXPECT_EQ(stats.overrunEvents, 0u);
  EXPECT_NEAR(stats.MeanLevel(), stats.StartLevel(), 8.0)
      << "levels " << stats.minLevel << ".." << stats.maxLevel << ", start threshold " << stats.startThreshold;
}

uint64_t StreamTest::PlayedFrames() const {
  std::lock_guard guard(m_playedLock);
  return m_playedFrames;
}

}  // namespace sttest
