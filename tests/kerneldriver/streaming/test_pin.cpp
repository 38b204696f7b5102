#include "test_pin.h"

#include <cstring>

namespace sttest {

bool RampChecker::Silent(const int32_t *frame) const {
  for (uint32_t c = 0; c < m_channels; ++c) {
    if (frame[c] != 0) return false;
  }
  return true;
}

bool RampChecker::IsRamp(const int32_t *frame, uint64_t f) const {
  if (f == 0) return false;
  for (uint32_t c = 0; c < m_channels; ++c) {
    if (frame[c] != RampSample(f, c)) return false;
  }
  return true;
}

uint64_t RampChecker::FrameOf(const int32_t *frame) const { return RampFrameOf(frame[0]); }

void RampChecker::Error(const int32_t *frame) {
  if (!IsRamp(frame, FrameOf(frame))) ++m_foreign;
  if (m_errors++ == 0) {
    m_firstErrorAt = m_fed;
    m_firstErrorValue = frame[0];
  }
}

void RampChecker::TrackBreaks(const int32_t *frame, bool silent) {
  if (silent) {
    m_inGap = m_lastRampFrame != 0;
    return;
  }
  // The ramp's values repeat after a period, so a frame is compared with the
  // one expected rather than by its index.
  const bool follows = m_lastRampFrame != 0 && IsRamp(frame, m_lastRampFrame + 1);
  if (m_lastRampFrame != 0 && (m_inGap || !follows)) ++m_glitches;
  if (follows) {
    ++m_lastRampFrame;
  } else {
    const uint64_t f = FrameOf(frame);
    m_lastRampFrame = IsRamp(frame, f) ? f : m_lastRampFrame + 1;
  }
  m_inGap = false;
}

void RampChecker::Feed(const int32_t *samples, uint64_t frames) {
  for (uint64_t i = 0; i < frames; ++i) {
    const int32_t *frame = samples + i * m_channels;
    const bool silent = Silent(frame);
    TrackBreaks(frame, silent);
    switch (m_phase) {
      case Phase::Leading:
        if (silent) {
          ++m_leading;
        } else {
          m_first = FrameOf(frame);
          if (!IsRamp(frame, m_first)) Error(frame);
          m_expected = m_first + 1;
          m_ramp = 1;
          m_phase = Phase::Ramp;
        }
        break;
      case Phase::Ramp:
        if (silent) {
          m_phase = Phase::Trailing;
        } else {
          if (!IsRamp(frame, m_expected)) Error(frame);
          ++m_expected;
          ++m_ramp;
        }
        break;
      case Phase::Trailing:
        if (!silent) Error(frame);
        break;
    }
    ++m_fed;
  }
}

const UsbAudioPinOperations TestPin::kOperations = {TestPin::DropPending, TestPin::QueueRegion, TestPin::Kick,
                                                    TestPin::ClientProcessId};

TestPin::TestPin(Kind kind, UsbAudioStream *stream, std::function<uint64_t()> clock)
    : m_kind(kind), m_stream(stream), m_clock(std::move(clock)), m_checker(stream->channels) {
  operations = &kOperations;
  m_pending.reserve(1024);
}

void TestPin::DropPending(UsbAudioPin *pin) {
  auto *self = static_cast<TestPin *>(pin);
  std::lock_guard guard(self->m_lock);
  self->m_pending.clear();
}

void TestPin::QueueRegion(UsbAudioPin *pin, PUCHAR region, ULONG length) {
  auto *self = static_cast<TestPin *>(pin);
  std::lock_guard guard(self->m_lock);
  self->m_pending.push_back(Pending{region, length, self->m_stream->transferBuffer, self->m_stream->transferBufferSize});
}

void TestPin::Kick(UsbAudioPin *pin) {
  auto *self = static_cast<TestPin *>(pin);
  std::lock_guard guard(self->m_lock);
  ++self->m_kicks;
  if (!self->m_deferred) self->Process();
}

void TestPin::SetDeferred(bool deferred) {
  std::lock_guard guard(m_lock);
  m_deferred = deferred;
}

void TestPin::ProcessNow() {
  std::lock_guard guard(m_lock);
  Process();
}

void TestPin::ResetChecker() {
  std::lock_guard guard(m_lock);
  m_checker = RampChecker(m_stream->channels);
}

bool TestPin::Live(const Pending &region) const {
  const PUCHAR buffer = m_stream->transferBuffer;
  return buffer != nullptr && buffer == region.buffer && m_stream->transferBufferSize == region.bufferSize &&
         region.region >= buffer && region.region + region.length <= buffer + region.bufferSize;
}

HANDLE TestPin::ClientProcessId(UsbAudioPin *pin) { return pin; }

// Every queued region is used up at once, as a client that always has data
// (render) or room (capture) would.
void TestPin::Process() {
  const uint32_t channels = m_stream->channels;
  const uint32_t frameBytes = m_stream->bytesPerFrame;
  std::vector<int32_t> frame(channels);
  for (const Pending &region : m_pending) {
    if (!Live(region)) {
      ++m_stale;
#if !defined(__SANITIZE_ADDRESS__)
      continue;  // touching it would corrupt memory unnoticed
#endif
    }
    const uint32_t frames = frameBytes != 0 ? region.length / frameBytes : 0;
    if (m_record) {
      uint64_t first = 0;
      if (m_kind == Kind::Render) first = m_silent ? 0 : m_nextFrame;
      if (m_kind == Kind::Capture && frames > 0) {
        std::memcpy(frame.data(), region.region, channels * 4);
        first = RampFrameOf(frame[0]);
      }
      m_arrivals.push_back(RegionArrival{m_clock(), first, frames});
    }
    for (uint32_t i = 0; i < frames; ++i) {
      PUCHAR at = region.region + static_cast<size_t>(i) * frameBytes;
      if (m_kind == Kind::Render) {
        if (m_silent) continue;
        for (uint32_t c = 0; c < channels; ++c) frame[c] = RampSample(m_nextFrame, c);
        std::memcpy(at, frame.data(), channels * 4);
        ++m_nextFrame;
      } else {
        std::memcpy(frame.data(), at, channels * 4);
        m_checker.Feed(frame.data(), 1);
      }
    }
    m_moved += frames;
  }
  m_pending.clear();
}

uint64_t TestPin::FramesMoved() const {
  std::lock_guard guard(m_lock);
  return m_moved;
}

uint64_t TestPin::Kicks() const {
  std::lock_guard guard(m_lock);
  return m_kicks;
}

uint64_t TestPin::StaleRegions() const {
  std::lock_guard guard(m_lock);
  return m_stale;
}

RampChecker TestPin::Checker() const {
  std::lock_guard guard(m_lock);
  return m_checker;
}

std::vector<RegionArrival> TestPin::Arrivals() const {
  std::lock_guard guard(m_lock);
  return m_arrivals;
}

}  // namespace sttest
