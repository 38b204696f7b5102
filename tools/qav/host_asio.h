// `qav asio` on the host build: the simulated machine with the QavAudio
// driver installed from its INF and the ASIO driver module registered by its
// own DllRegisterServer, the interface plugged with every input hearing its
// output (an analog loopback cable), and qav as the ASIO host.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "tools/qav/device_commands.h"
#include "tools/qav/host_commands.h"
#include "tools/qav/loopback_report.h"

namespace qav {

// What `qav asio loopback` sweeps.
struct LoopbackPlan {
  std::vector<uint32_t> rates{44100, 48000, 96000};
  std::vector<uint32_t> urbSizes;  // the modes; default recording, balanced, mixing
  std::vector<uint32_t> buffers{32, 64, 128, 256, 512, 1024};
  uint32_t milliseconds = 1500;    // virtual time each row streams
  bool progress = false;           // a line per row on stderr
};

struct LoopbackOptions {
  LoopbackPlan plan;
  std::string csvPath, svgPath;
  uint32_t svgRate = 0;  // 0: 48000 when swept, else the first rate
};

// Parses `loopback`'s options; false with *error set (one line).
bool ParseLoopbackOptions(const Args &args, LoopbackOptions *options, std::string *error);

// The ASIO driver module: beside the program, else where the build put it.
std::string AsioModulePath();

// Loads the module, registers it as its installer would (a registration
// left by another copy of the module is removed first) and unloads it.
// Returns why that failed, or an empty string.
std::string RegisterAsioModule(const std::string &path);

// The simulated interface while `qav asio` runs.
struct AsioBench {
  std::shared_ptr<winsim::devices::AudioDevice> device;
  uint16_t vendorId = 0, productId = 0;
};

// Runs the sweep with the registered driver as a host would; rows in plan
// order. False with *error set when the driver could not be set up at all.
// The thread has entered COM. Leaves the mode and rate as it found them.
bool RunLoopbackSweep(const AsioBench &bench, const LoopbackPlan &plan, std::vector<LoopbackRow> *rows,
                      std::string *error);

// `qav asio info|loopback ...` on the simulated machine of `run`.
int RunAsio(const HostRun &run, const Args &args);

}  // namespace qav
