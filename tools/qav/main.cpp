// qav: the command-line tool. On the host build every command runs against a
// simulated machine; --sim names the simulated interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qav/host_commands.h"
#include "winsim/devices/catalog.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qav [--sim MODEL] COMMAND\n"
               "commands:\n"
               "  start     plug the interface, start the driver on it, and report what happened\n"
               "  models    list the simulated interfaces\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string model(winsim::devices::DefaultModelName());
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--sim") == 0) {
    if (i + 1 >= argc) return Usage();
    model = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return Usage();
  std::string command = argv[i];
  if (command == "start") return qav::RunStart(model);
  if (command == "models") return qav::ListModels();
  return Usage();
}
