// The start the device commands that run for a while share (`qav timing`,
// `qav watch`): their optional SECONDS argument, then the device opened.
#pragma once
#include <cstdint>

#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"

namespace qav {

// kExitOk with *seconds set (`defaultSeconds` without an argument) and the
// device open; otherwise the exit code after one error line: kExitUsage for
// an argument that is not a whole number from 1 to `maxSeconds`,
// kExitFailed when the device did not open.
int OpenTimedCommand(CConsole &console, const Args &args, uint32_t defaultSeconds, uint32_t maxSeconds,
                     uint32_t *seconds, CQavDevice *device);

}  // namespace qav
