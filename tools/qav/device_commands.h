// The commands that work on an installed QavAudio device through the KS
// client library: the same code talks to the real driver on Windows and to
// the driver on the simulated machine on the host. Each returns the exit
// code: 0 done, 1 the device or driver could not do it (one error line
// said why), 2 the arguments were wrong (one error line said which).
#pragma once
#include <string>
#include <vector>

#include "tools/qav/console.h"

namespace qav {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunList(CConsole &console, const Args &args);
int RunMode(CConsole &console, const Args &args);
int RunRate(CConsole &console, const Args &args);
int RunClock(CConsole &console, const Args &args);
int RunDescriptors(CConsole &console, const Args &args);
int RunTiming(CConsole &console, const Args &args);
int RunWatch(CConsole &console, const Args &args);

using DeviceCommandFn = int (*)(CConsole &console, const Args &args);

}  // namespace qav
