// What a capture channel of the device "hears": the DAC output of a render
// channel a fixed converter delay later (loopback), or a signal a test sets.
#pragma once
#include <cstdint>
#include <functional>

#include "winsim/devices/converter.h"
#include "winsim/devices/output_history.h"

namespace winsim::devices {

// Called under the device's lock with the capture channel and the device
// sample index; it must not call back into the device.
using SampleGenerator = std::function<int32_t(uint32_t channel, uint64_t sampleIndex)>;

struct CaptureSource {
  enum class Kind : uint8_t { Loopback, Constant, Ramp, Sine, Generator };

  Kind kind = Kind::Loopback;
  uint32_t outputChannel = 0;  // Loopback: the render channel heard
  int32_t value = 0;           // Constant: the sample; Ramp: the sample at index 0
  int32_t step = 0;            // Ramp: added per sample index (wrapping)
  double frequencyHz = 0;      // Sine, at the clock's nominal rate
  double amplitude = 0;        // Sine, in int32 full-scale units
  SampleGenerator generator;

  static CaptureSource Loopback(uint32_t outputChannel);
  static CaptureSource Constant(int32_t value);
  static CaptureSource Ramp(int32_t start, int32_t step);
  static CaptureSource Sine(double frequencyHz, double amplitude);
  static CaptureSource Generate(SampleGenerator generator);
};

struct CaptureContext {
  const OutputHistory &output;
  uint32_t loopbackDelaySamples;
  uint32_t rate;
  const Converter &adc;  // applied to every captured sample
};

// The sample `source` gives capture channel `channel` at device sample `index`.
int32_t SourceSample(const CaptureSource &source, uint32_t channel, uint64_t index, const CaptureContext &context);

}  // namespace winsim::devices
