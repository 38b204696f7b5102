// What `qav play` prints, and its exit status.
#include <cstdarg>
#include <cstdio>

#include "tools/qav/host_commands.h"

namespace qav {
namespace {

std::string Format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

double Milliseconds(uint64_t frames, uint32_t rate) {
  return rate == 0 ? 0.0 : static_cast<double>(frames) * 1000.0 / rate;
}

std::string FormatName(const PlayFormat &format) {
  return Format("%u ch, %u Hz, %s", format.channels, format.rate,
                format.containerBits == 16 ? "16-bit PCM" : "24-in-32 (WAVE_FORMAT_EXTENSIBLE)");
}

std::string Verdict(const PlayReport &report) {
  const PlayComparison &c = report.comparison;
  if (!report.ok) return "FAILED: " + report.error;
  if (!c.found) {
    return Format("FAILED: the signal's first frame is not in the %llu frames captured",
                  static_cast<unsigned long long>(c.framesReceived));
  }
  if (!report.Exact()) {
    return Format("FAILED: %llu of %llu samples came back altered, %llu frames missing, %llu discontinuities "
                  "flagged",
                  static_cast<unsigned long long>(c.mismatches), static_cast<unsigned long long>(c.samplesCompared),
                  static_cast<unsigned long long>(c.framesMissing),
                  static_cast<unsigned long long>(report.flaggedDiscontinuities));
  }
  return Format("exact: all %llu samples came back unaltered", static_cast<unsigned long long>(c.samplesCompared));
}

}  // namespace

std::vector<std::string> DescribePlay(const PlayReport &report, uint32_t milliseconds) {
  std::vector<std::string> lines;
  const PlayComparison &c = report.comparison;
  const uint32_t rate = report.format.rate;
  if (report.ok || report.framesSent != 0) {
    lines.push_back("format:          " + FormatName(report.format) +
                    Format(" (render pin %u, capture pin %u)", report.renderPin, report.capturePin));
    lines.push_back(Format("signal:          %.1f s of a per-sample-distinct test sequence, %u ms per request",
                           milliseconds / 1000.0, 10u));
    lines.push_back(Format("frames:          %llu sent, %llu received", static_cast<unsigned long long>(report.framesSent),
                           static_cast<unsigned long long>(c.framesReceived)));
  }
  if (report.ok && c.found) {
    lines.push_back(Format("round trip:      %llu frames (%.3f ms), render pin's first frame to its return",
                           static_cast<unsigned long long>(c.delayFrames), Milliseconds(c.delayFrames, rate)));
    lines.push_back(Format("mismatches:      %llu of %llu samples, %llu frames missing",
                           static_cast<unsigned long long>(c.mismatches),
                           static_cast<unsigned long long>(c.samplesCompared),
                           static_cast<unsigned long long>(c.framesMissing)));
    lines.push_back(Format("discontinuities: %llu flagged by the driver, %llu breaks in the signal",
                           static_cast<unsigned long long>(report.flaggedDiscontinuities),
                           static_cast<unsigned long long>(c.breaks)));
  }
  if (report.framingFrames != 0 && report.format.BlockAlign() != 0) {
    const uint32_t frames = report.framingFrameSize / report.format.BlockAlign();
    lines.push_back(Format("driver framing:  %u frames of %u audio frames (%.3f ms) each", report.framingFrames,
                           frames, Milliseconds(frames, rate)));
  }
  lines.push_back(Verdict(report));
  return lines;
}

int RunPlay(const SimSource &source, uint32_t seconds) {
  SimDevice sim = LoadSimDevice(source);
  if (!sim.ok) {
    std::fprintf(stderr, "qav: %s\n", sim.error.c_str());
    return 2;
  }
  for (const std::string &note : sim.notes) std::printf("note: %s\n", note.c_str());
  const uint32_t milliseconds = seconds * 1000u;
  std::printf("qav play: %s, capture looping back the outputs, %u s of virtual time\n", source.name.c_str(),
              seconds);
  const PlayReport report = PlayDevice(sim.definition, milliseconds);
  for (const std::string &line : DescribePlay(report, milliseconds)) std::printf("%s\n", line.c_str());
  return report.Exact() ? 0 : 1;
}

}  // namespace qav
