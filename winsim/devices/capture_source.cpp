#include "winsim/devices/capture_source.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace winsim::devices {
namespace {

int32_t SineSample(const CaptureSource &source, uint64_t index, uint32_t rate) {
  if (rate == 0) return 0;
  // The phase is reduced to one period first so long runs keep their precision.
  const double period = static_cast<double>(rate) / source.frequencyHz;
  const double position = std::fmod(static_cast<double>(index), period);
  const double value = source.amplitude * std::sin(2 * std::numbers::pi * position / period);
  return static_cast<int32_t>(std::llround(std::clamp(value, -2147483648.0, 2147483647.0)));
}

}  // namespace

CaptureSource CaptureSource::Loopback(uint32_t outputChannel) {
  CaptureSource source;
  source.kind = Kind::Loopback;
  source.outputChannel = outputChannel;
  return source;
}

CaptureSource CaptureSource::Constant(int32_t value) {
  CaptureSource source;
  source.kind = Kind::Constant;
  source.value = value;
  return source;
}

CaptureSource CaptureSource::Ramp(int32_t start, int32_t step) {
  CaptureSource source;
  source.kind = Kind::Ramp;
  source.value = start;
  source.step = step;
  return source;
}

CaptureSource CaptureSource::Sine(double frequencyHz, double amplitude) {
  CaptureSource source;
  source.kind = Kind::Sine;
  source.frequencyHz = frequencyHz;
  source.amplitude = amplitude;
  return source;
}

CaptureSource CaptureSource::Generate(SampleGenerator generator) {
  CaptureSource source;
  source.kind = Kind::Generator;
  source.generator = std::move(generator);
  return source;
}

int32_t SourceSample(const CaptureSource &source, uint32_t channel, uint64_t index, const CaptureContext &context) {
  switch (source.kind) {
    case CaptureSource::Kind::Loopback:
      if (index < context.loopbackDelaySamples) return 0;
      return context.output.Sample(index - context.loopbackDelaySamples, source.outputChannel);
    case CaptureSource::Kind::Constant: return source.value;
    case CaptureSource::Kind::Ramp:
      return static_cast<int32_t>(static_cast<uint32_t>(source.value) +
                                  static_cast<uint32_t>(source.step) * static_cast<uint32_t>(index));
    case CaptureSource::Kind::Sine:
      return source.frequencyHz > 0 ? SineSample(source, index, context.rate) : 0;
    case CaptureSource::Kind::Generator: return source.generator ? source.generator(channel, index) : 0;
  }
  return 0;
}

}  // namespace winsim::devices
