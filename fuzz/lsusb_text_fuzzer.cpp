// libFuzzer target: `lsusb -v` text to descriptor bytes (see descriptor_text_fuzz.h).
#include "fuzz/descriptor_text_fuzz.h"
#include "winsim/devices/lsusb_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  winsim::devices::LsusbTextResult parsed = winsim::devices::ParseLsusbText(text);
  qavfuzz::RequireLineNumber(parsed.ok, parsed.error);
  if (parsed.ok) qavfuzz::BuildFrom(parsed.raw);
  return 0;
}
