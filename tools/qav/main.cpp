// qav: the command-line tool. Device commands talk to the QavAudio driver
// through the KS client library: on Windows to the installed driver, on the
// host build to the driver on a simulated machine whose registry persists in
// a state folder between runs. --sim names the simulated interface: a
// catalog model, or a file with an `lsusb -v` dump or raw descriptors of a
// real one.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/qav/asio_commands.h"
#include "tools/qav/command_args.h"
#include "tools/qav/console.h"
#include "tools/qav/device_commands.h"
#ifndef _WIN32
#include "tools/qav/host_asio.h"
#include "tools/qav/host_commands.h"
#include "tools/qav/host_midi.h"
#include "tools/qav/host_trace.h"
#include "winsim/devices/catalog.h"
#endif

namespace {

using qav::Args;

// What the options before the command chose.
struct Options {
#ifndef _WIN32
  qav::HostRun host;
#endif
};

// A command runs either where the device is (`device`: the same code on
// Windows and on the simulated machine) or, host only, on its own (`own`).
struct Command {
  const char *name;
  const char *usage;  // the arguments
  const char *help;   // continuation lines start with spaces to line up
  size_t maxArgs;
  qav::DeviceCommandFn device;
  int (*own)(const Options &options, const Args &args);
};

#ifndef _WIN32
int Start(const Options &options, const Args &) { return qav::RunStart(options.host.source); }
int Models(const Options &, const Args &) { return qav::ListModels(); }
int Midi(const Options &options, const Args &args) { return qav::RunMidi(options.host.source, args); }
int Trace(const Options &options, const Args &args) { return qav::RunTrace(options.host.source, args); }
int Asio(const Options &options, const Args &args) { return qav::RunAsio(options.host, args); }

int Play(const Options &options, const Args &args) {
  uint32_t seconds = 2;
  if (!args.empty()) {
    std::optional<uint32_t> parsed = qav::ParseNumber(args[0], 1, 600);
    if (!parsed) {
      std::fprintf(stderr, "qav: '%s' is not a number of seconds from 1 to 600\n", args[0].c_str());
      return qav::kExitUsage;
    }
    seconds = *parsed;
  }
  return qav::RunPlay(options.host.source, seconds);
}
#endif

const Command kCommands[] = {
    {"list", "", "the devices with their names, interface paths, pins and formats", 0, qav::RunList, nullptr},
    {"mode", "[recording|balanced|mixing]", "read or set the USB performance mode", 1, qav::RunMode, nullptr},
    {"rate", "[HZ]", "read or set the sample rate (one the device's clock lists)", 1, qav::RunRate, nullptr},
    {"clock", "[N]", "list the clock sources with their validity, or select clock source N", 1, qav::RunClock,
     nullptr},
    {"descriptors", "", "the device's USB descriptors, read through the driver, decoded", 0, qav::RunDescriptors,
     nullptr},
    {"timing", "[SECONDS]",
     "run a stream for SECONDS (default 1, at most 60) and show how late the\n"
     "                driver's USB transfers completed",
     1, qav::RunTiming, nullptr},
    {"watch", "[SECONDS]",
     "print the driver's events as they arrive, for SECONDS (default 10) or\n"
     "                until the device goes",
     1, qav::RunWatch, nullptr},
#ifndef _WIN32
    {"asio", "info | loopback [OPTIONS]",
     "the ASIO driver as a host finds and creates it: `info` its channels,\n"
     "                buffer sizes, rates, clocks and latencies; `loopback` plays impulses on\n"
     "                output 1 with input 1 looped back and reports the measured round trip\n"
     "                against the reported latency for each rate, mode and buffer size.\n"
     "                OPTIONS: --rate HZ[,HZ] --mode MODE[,MODE] --buffer N[,N] --seconds S\n"
     "                --csv FILE --svg FILE --progress",
     32, nullptr, Asio},
#else
    {"asio", "info", "the ASIO driver as a host finds and creates it: channels, sizes, rates, latencies", 1,
     qav::RunAsioInfo, nullptr},
#endif
#ifndef _WIN32
    {"start", "",
     "plug the interface, start the driver on it, report what happened and\n"
     "                list its filter's pins as a user-mode client reads them",
     0, nullptr, Start},
    {"play", "[SECONDS]",
     "plug the interface with its capture looping back its outputs, play a\n"
     "                test signal through a user-mode render pin for SECONDS of virtual time\n"
     "                (default 2, at most 600) and report what a capture pin brought back",
     1, nullptr, Play},
    {"models", "", "list the simulated interfaces", 0, nullptr, Models},
    {"midi", "list | send CABLE HEX... | monitor [SECONDS]",
     "the MIDI pins and their names; bytes written through a render pin and\n"
     "                what the device's MIDI OUT jack received; what the capture pins read\n"
     "                while a built-in sequence plays into the MIDI IN jacks (default 2 s)",
     1024, nullptr, Midi},
    {"trace", "start|stream [SECONDS] [--level L] [--area A[,A]]",
     "run the start or a stream on a machine with the driver logger and print\n"
     "                the driver's trace records of both buffers in time order",
     8, nullptr, Trace},
#endif
};

// The help on stderr; `code` is the exit code.
int Usage(int code = qav::kExitUsage) {
#ifndef _WIN32
  std::fprintf(stderr,
               "usage: qav [--sim MODEL|FILE] [--as-family] [--state DIR] COMMAND [ARGS]\n"
               "  --sim MODEL   a simulated interface of the catalog (qav models)\n"
               "  --sim FILE    an interface described by `lsusb -v` output for one device\n"
               "                (lsusb -v -d VID:PID > FILE) or by raw descriptor text\n"
               "  --as-family   serve the interface under the family's vendor id\n"
               "  --state DIR   keep the simulated machine's registry in DIR between runs\n"
               "                (default $XDG_CACHE_HOME/qav or ~/.cache/qav)\n");
#else
  std::fprintf(stderr, "usage: qav COMMAND [ARGS]\n");
#endif
  std::fprintf(stderr, "commands:\n");
  for (const Command &command : kCommands) {
    const std::string head = std::string(command.name) + (command.usage[0] != '\0' ? " " : "") + command.usage;
    if (head.size() < 14) {
      std::fprintf(stderr, "  %-14s%s\n", head.c_str(), command.help);
    } else {
      std::fprintf(stderr, "  %s\n                %s\n", head.c_str(), command.help);
    }
  }
  return code;
}

// The options before the command; false on one it does not know.
bool ParseOptions(int argc, char **argv, int *next, Options *options) {
#ifndef _WIN32
  options->host.source = qav::SimSource{std::string(winsim::devices::DefaultModelName()), false};
  options->host.stateFolder = qav::DefaultStateFolder();
#else
  (void)options;
#endif
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) break;
#ifndef _WIN32
    if (std::strcmp(argv[i], "--sim") == 0 && i + 1 < argc) {
      options->host.source.name = argv[++i];
      continue;
    }
    if (std::strcmp(argv[i], "--as-family") == 0) {
      options->host.source.asFamily = true;
      continue;
    }
    if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc) {
      options->host.stateFolder = argv[++i];
      continue;
    }
#endif
    const bool needsValue = std::strcmp(argv[i], "--sim") == 0 || std::strcmp(argv[i], "--state") == 0;
    std::fprintf(stderr, needsValue ? "qav: option '%s' needs a value (qav help lists the options)\n"
                                    : "qav: unknown option '%s' (qav help lists the options)\n",
                 argv[i]);
    return false;
  }
  *next = i;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int i = 0;
  if (!ParseOptions(argc, argv, &i, &options)) return qav::kExitUsage;
  if (i >= argc) return Usage();
  const std::string name = argv[i];
  if (name == "help" || name == "--help" || name == "-h") return Usage(qav::kExitOk);
  const Args args(argv + i + 1, argv + argc);
  for (const Command &command : kCommands) {
    if (name != command.name) continue;
    if (args.size() > command.maxArgs) {
      std::fprintf(stderr, "qav: too many arguments: qav %s %s\n", command.name, command.usage);
      return qav::kExitUsage;
    }
    if (command.own != nullptr) return command.own(options, args);
    qav::CStdConsole console;
#ifndef _WIN32
    return qav::RunOnSimulatedMachine(options.host, command.device, args, console);
#else
    return command.device(console, args);
#endif
  }
  std::fprintf(stderr, "qav: unknown command '%s' (qav help lists the commands)\n", name.c_str());
  return qav::kExitUsage;
}
