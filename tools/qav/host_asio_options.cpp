// `qav asio loopback`'s options: --rate, --mode and --buffer narrow the
// sweep (each takes one value or a comma-separated list), --csv and --svg
// save the table and the chart, --seconds sets how long each row streams,
// --progress reports rows on stderr as they finish.
#include "tools/qav/command_args.h"
#include "tools/qav/host_asio.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

// "a,b,c" parsed by `one`; false on an empty item or one `one` refuses.
template <typename Parse>
bool ParseList(const std::string &text, Parse one, std::vector<uint32_t> *values) {
  values->clear();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    std::optional<uint32_t> value = one(text.substr(at, comma - at));
    if (!value) return false;
    values->push_back(*value);
    at = comma + 1;
  }
  return !values->empty();
}

}  // namespace

bool ParseLoopbackOptions(const Args &args, LoopbackOptions *options, std::string *error) {
  LoopbackPlan &plan = options->plan;
  plan.urbSizes = {UAC_URB_SIZE_RECORDING, UAC_URB_SIZE_BALANCED, UAC_URB_SIZE_MIXING};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &name = args[i];
    if (name == "--progress") {
      plan.progress = true;
      continue;
    }
    const bool known = name == "--rate" || name == "--mode" || name == "--buffer" || name == "--csv" ||
                       name == "--svg" || name == "--seconds";
    if (!known) {
      *error = "unknown loopback option '" + name + "' (--rate, --mode, --buffer, --seconds, --csv, --svg, --progress)";
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = "option '" + name + "' needs a value";
      return false;
    }
    const std::string &value = args[++i];
    bool ok = true;
    if (name == "--rate") {
      ok = ParseList(value, [](const std::string &t) { return ParseNumber(t, 8000, 768000); }, &plan.rates);
      if (!ok) *error = "'" + value + "' is not a sample rate in Hz (or a list of them, comma-separated)";
    } else if (name == "--mode") {
      ok = ParseList(value, ParseMode, &plan.urbSizes);
      if (!ok) *error = "'" + value + "' is not a mode: recording, balanced or mixing (or a list of them)";
    } else if (name == "--buffer") {
      ok = ParseList(value, [](const std::string &t) { return ParseNumber(t, 16, 4096); }, &plan.buffers);
      if (!ok) *error = "'" + value + "' is not a buffer size from 16 to 4096 samples (or a list of them)";
    } else if (name == "--seconds") {
      std::optional<uint32_t> ms;
      // Tenths of a second are enough: "1", "1.5", "0.5".
      const size_t dot = value.find('.');
      const std::string whole = value.substr(0, dot);
      const std::string tenth = dot == std::string::npos ? "0" : value.substr(dot + 1);
      std::optional<uint32_t> w = ParseNumber(whole, 0, 60);
      std::optional<uint32_t> t = tenth.size() == 1 ? ParseNumber(tenth, 0, 9) : std::nullopt;
      if (w && t && *w * 10 + *t >= 2) ms = *w * 1000 + *t * 100;
      ok = ms.has_value();
      if (ok) plan.milliseconds = *ms;
      if (!ok) *error = "'" + value + "' is not a number of seconds from 0.2 to 60 (tenths at most)";
    } else if (name == "--csv") {
      options->csvPath = value;
    } else {
      options->svgPath = value;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace qav
