#include "tools/qav/timed_command.h"

#include <optional>
#include <string>

#include "tools/qav/command_args.h"

namespace qav {

int OpenTimedCommand(CConsole &console, const Args &args, uint32_t defaultSeconds, uint32_t maxSeconds,
                     uint32_t *seconds, CQavDevice *device) {
  *seconds = defaultSeconds;
  if (!args.empty()) {
    std::optional<uint32_t> parsed = ParseNumber(args[0], 1, maxSeconds);
    if (!parsed) {
      console.Err("'" + args[0] + "' is not a number of seconds from 1 to " + std::to_string(maxSeconds));
      return kExitUsage;
    }
    *seconds = *parsed;
  }
  std::string error;
  if (!device->Open(&error)) {
    console.Err(error);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace qav
