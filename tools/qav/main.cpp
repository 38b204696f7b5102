// qav: the command-line tool. On the host build every command runs against a
// simulated machine; --sim names the simulated interface: a catalog model,
// or a file with an `lsusb -v` dump or raw descriptors of a real one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qav/host_commands.h"
#include "tools/qav/host_trace.h"
#include "winsim/devices/catalog.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qav [--sim MODEL|FILE] [--as-family] COMMAND [ARGS]\n"
               "  --sim MODEL   a simulated interface of the catalog (qav models)\n"
               "  --sim FILE    an interface described by `lsusb -v` output for one device\n"
               "                (lsusb -v -d VID:PID > FILE) or by raw descriptor text\n"
               "  --as-family   serve the interface under the family's vendor id\n"
               "commands:\n"
               "  start     plug the interface, start the driver on it, report what happened\n"
               "            and list its filter's pins as a user-mode client reads them\n"
               "  play [SECONDS]\n"
               "            plug the interface with its capture looping back its outputs, play a\n"
               "            test signal through a user-mode render pin for SECONDS of virtual time\n"
               "            (default 2, at most 600) and report what a capture pin brought back\n"
               "  trace start|stream [SECONDS] [--level L] [--area A[,A]]\n"
               "            run the start or a stream on a machine with the driver logger and print\n"
               "            the driver's trace records of both buffers in time order\n"
               "  models    list the simulated interfaces\n");
  return 2;
}

// A whole number of seconds from 1 to 600.
bool ParseSeconds(const char *text, uint32_t *seconds) {
  char *end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || value < 1 || value > 600) return false;
  *seconds = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  qav::SimSource source{std::string(winsim::devices::DefaultModelName()), false};
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--sim") == 0 && i + 1 < argc) {
      source.name = argv[++i];
    } else if (std::strcmp(argv[i], "--as-family") == 0) {
      source.asFamily = true;
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  std::string command = argv[i];
  if (command == "trace") return qav::RunTrace(source, std::vector<std::string>(argv + i + 1, argv + argc));
  if (command == "play" && i + 2 >= argc) {
    uint32_t seconds = 2;
    if (i + 2 == argc && !ParseSeconds(argv[i + 1], &seconds)) return Usage();
    return qav::RunPlay(source, seconds);
  }
  if (i + 1 != argc) return Usage();
  if (command == "start") return qav::RunStart(source);
  if (command == "models") return qav::ListModels();
  return Usage();
}
