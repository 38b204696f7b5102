// qav: the command-line tool. On the host build every command runs against a
// simulated machine; --sim names the simulated interface: a catalog model,
// or a file with an `lsusb -v` dump or raw descriptors of a real one.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qav/host_commands.h"
#include "winsim/devices/catalog.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qav [--sim MODEL|FILE] [--as-family] COMMAND\n"
               "  --sim MODEL   a simulated interface of the catalog (qav models)\n"
               "  --sim FILE    an interface described by `lsusb -v` output for one device\n"
               "                (lsusb -v -d VID:PID > FILE) or by raw descriptor text\n"
               "  --as-family   serve the interface under the family's vendor id\n"
               "commands:\n"
               "  start     plug the interface, start the driver on it, report what happened\n"
               "            and list its filter's pins as a user-mode client reads them\n"
               "  models    list the simulated interfaces\n");
  return 2;
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
  if (i + 1 != argc) return Usage();
  std::string command = argv[i];
  if (command == "start") return qav::RunStart(source);
  if (command == "models") return qav::ListModels();
  return Usage();
}
