// `qav asio`: the tool as an ASIO host of the installed driver.
#pragma once
#include "tools/qav/device_commands.h"

namespace qav {

// The registered driver chosen as hosts choose it, its channels, sizes,
// rates, clocks and latencies on the console. The thread has entered COM.
int ShowAsioInfo(CConsole &console);
// `qav asio info` where the driver is installed (enters COM itself).
int RunAsioInfo(CConsole &console, const Args &args);

}  // namespace qav
