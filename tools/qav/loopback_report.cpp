#include "tools/qav/loopback_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "tools/qav/command_args.h"

namespace qav {
namespace {

std::string Format(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

long long Ll(int64_t value) { return static_cast<long long>(value); }
unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// The plot area inside the SVG.
struct Plot {
  double left = 70, top = 40, width = 520, height = 300;
  double minLog = 0, maxLog = 1, maxMs = 1;
  double X(uint32_t buffer) const {
    const double span = maxLog > minLog ? maxLog - minLog : 1;
    return left + (std::log2(static_cast<double>(buffer)) - minLog) / span * width;
  }
  double Y(double ms) const { return top + height - ms / maxMs * height; }
};

// A round step for about five ticks up to `top`.
double TickStep(double top) {
  const double raw = top / 5;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (raw <= factor * power) return factor * power;
  }
  return 10 * power;
}

const char *Colour(uint32_t urbSize) {
  switch (urbSize) {
    case 1: return "#d62728";
    case 3: return "#1f77b4";
    case 5: return "#2ca02c";
    default: return "#7f7f7f";
  }
}

std::string Axes(const Plot &plot, const std::vector<uint32_t> &buffers, uint32_t rate) {
  std::string svg;
  svg += Format("<text x=\"%.0f\" y=\"22\" font-size=\"15\" text-anchor=\"middle\">ASIO round trip at %u Hz: "
                "measured (solid) and reported (dashed)</text>\n",
                plot.left + plot.width / 2, rate);
  svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>\n", plot.left,
                plot.top + plot.height, plot.left + plot.width, plot.top + plot.height);
  svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>\n", plot.left, plot.top,
                plot.left, plot.top + plot.height);
  for (uint32_t buffer : buffers) {
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%u</text>\n",
                  plot.X(buffer), plot.top + plot.height + 16, buffer);
  }
  const double step = TickStep(plot.maxMs);
  for (double ms = 0; ms <= plot.maxMs + 1e-9; ms += step) {
    svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>\n", plot.left,
                  plot.Y(ms), plot.left + plot.width, plot.Y(ms));
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%g</text>\n", plot.left - 6,
                  plot.Y(ms) + 4, ms);
  }
  svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"13\" text-anchor=\"middle\">buffer size (samples)</text>\n",
                plot.left + plot.width / 2, plot.top + plot.height + 38);
  svg += Format("<text x=\"18\" y=\"%.0f\" font-size=\"13\" text-anchor=\"middle\" "
                "transform=\"rotate(-90 18 %.0f)\">latency (ms)</text>\n",
                plot.top + plot.height / 2, plot.top + plot.height / 2);
  return svg;
}

std::string Series(const Plot &plot, const std::vector<const LoopbackRow *> &rows, bool measured) {
  std::string points;
  std::string marks;
  for (const LoopbackRow *row : rows) {
    const double x = plot.X(row->buffer);
    const double y = plot.Y(row->Ms(measured ? row->measured : row->Reported()));
    points += Format("%s%.1f,%.1f", points.empty() ? "" : " ", x, y);
    if (measured) marks += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"/>\n", x, y, Colour(row->urbSize));
  }
  return Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s points=\"%s\"/>\n",
                Colour(rows.front()->urbSize), measured ? "" : " stroke-dasharray=\"6 4\"", points.c_str()) +
         marks;
}

}  // namespace

std::vector<std::string> LoopbackTable(const std::vector<LoopbackRow> &rows) {
  std::vector<std::string> lines;
  lines.push_back(Format("%6s  %-9s %6s  %16s  %16s  %6s  %16s  %8s %9s %9s %8s  %s", "rate", "mode", "buffer",
                         "measured", "reported", "diff", "design", "switches", "overloads", "underruns", "overruns",
                         "note"));
  for (const LoopbackRow &row : rows) {
    const std::string mode = ModeName(row.urbSize);
    const std::string measured =
        row.found ? Format("%6lld %6.2f ms", Ll(row.measured), row.Ms(row.measured)) : std::string("-");
    const std::string diff = row.found ? Format("%+lld", Ll(row.Reported() - row.measured)) : std::string("-");
    lines.push_back(Format("%6u  %-9s %6u  %16s  %6lld %6.2f ms  %6s  %6lld %6.2f ms  %8u %9u %9llu %8llu  %s",
                           row.rate, mode.c_str(), row.buffer, measured.c_str(), Ll(row.Reported()),
                           row.Ms(row.Reported()), diff.c_str(), Ll(row.design), row.Ms(row.design), row.switches,
                           row.overloads, Ull(row.underruns), Ull(row.overruns), row.problem.c_str()));
  }
  for (std::string &line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

std::string LoopbackCsv(const std::vector<LoopbackRow> &rows) {
  std::string csv =
      "rate,mode,urb_ms,buffer,found,measured_samples,measured_ms,reported_input,reported_output,reported_samples,"
      "reported_ms,difference_samples,design_samples,design_ms,switches,overloads,underruns,overruns,note\n";
  for (const LoopbackRow &row : rows) {
    // The note is ours and never holds a quote; quoted for its commas.
    csv += Format("%u,%s,%u,%u,%s,%s,%s,%lld,%lld,%lld,%.3f,%s,%lld,%.3f,%u,%u,%llu,%llu,\"%s\"\n", row.rate,
                  ModeName(row.urbSize).c_str(), row.urbSize, row.buffer, row.found ? "yes" : "no",
                  row.found ? std::to_string(row.measured).c_str() : "",
                  row.found ? Format("%.3f", row.Ms(row.measured)).c_str() : "", Ll(row.reportedInput),
                  Ll(row.reportedOutput), Ll(row.Reported()), row.Ms(row.Reported()),
                  row.found ? std::to_string(row.Reported() - row.measured).c_str() : "", Ll(row.design),
                  row.Ms(row.design), row.switches, row.overloads, Ull(row.underruns), Ull(row.overruns),
                  row.problem.c_str());
  }
  return csv;
}

std::string LoopbackSvg(const std::vector<LoopbackRow> &rows, uint32_t rate) {
  std::map<uint32_t, std::vector<const LoopbackRow *>> modes;
  std::vector<uint32_t> buffers;
  Plot plot;
  plot.maxMs = 0;
  for (const LoopbackRow &row : rows) {
    if (row.rate != rate || !row.found) continue;
    modes[row.urbSize].push_back(&row);
    if (std::find(buffers.begin(), buffers.end(), row.buffer) == buffers.end()) buffers.push_back(row.buffer);
    plot.maxMs = std::max({plot.maxMs, row.Ms(row.measured), row.Ms(row.Reported())});
  }
  std::sort(buffers.begin(), buffers.end());
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"720\" height=\"400\" viewBox=\"0 0 720 400\" "
      "font-family=\"sans-serif\">\n<rect width=\"720\" height=\"400\" fill=\"white\"/>\n";
  if (buffers.empty()) {
    svg += Format("<text x=\"360\" y=\"200\" text-anchor=\"middle\">no measurement at %u Hz</text>\n</svg>\n", rate);
    return svg;
  }
  plot.minLog = std::log2(static_cast<double>(buffers.front())) - 0.25;
  plot.maxLog = std::log2(static_cast<double>(buffers.back())) + 0.25;
  const double step = TickStep(plot.maxMs * 1.1);
  plot.maxMs = std::ceil(plot.maxMs * 1.1 / step) * step;
  svg += Axes(plot, buffers, rate);
  double legend = plot.top + 10;
  for (auto &[urbSize, series] : modes) {
    std::sort(series.begin(), series.end(), [](const LoopbackRow *a, const LoopbackRow *b) { return a->buffer < b->buffer; });
    svg += Series(plot, series, false);
    svg += Series(plot, series, true);
    svg += Format("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"/>\n",
                  plot.left + plot.width + 12, legend, plot.left + plot.width + 32, legend, Colour(urbSize));
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%s</text>\n", plot.left + plot.width + 36, legend + 4,
                  ModeName(urbSize).c_str());
    legend += 20;
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace qav
