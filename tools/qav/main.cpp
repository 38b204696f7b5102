// qav: the command-line tool. On the host build every command runs against a
// simulated machine.
#include <cstdio>
#include <cstring>
#include <string>

#include "winsim/machine.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qav [--sim MODEL] COMMAND\n"
               "commands:\n"
               "  boot      boot the simulated machine and report what happened\n");
  return 2;
}

int Boot() {
  winsim::MachineOptions options;
  options.threadName = "qav";
  winsim::Machine machine(options);
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  auto worker = machine.Threads().Spawn("worker", winsim::ThreadKind::SystemWorker, winsim::kSystemProcessId, [&] {
    LARGE_INTEGER delay;
    delay.QuadPart = -250 * winsim::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    DbgPrint("worker: woke after 250 ms of virtual time\n");
    KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  });
  KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
  machine.RunFor(750 * winsim::kTicksPerMillisecond);
  std::printf("machine booted; virtual time now %.3f ms\n",
              static_cast<double>(machine.Now()) / winsim::kTicksPerMillisecond);
  for (const winsim::LogLine &line : machine.Log()) {
    std::printf("  [%9.3f ms] %s: %s\n", static_cast<double>(line.time) / winsim::kTicksPerMillisecond,
                line.thread.c_str(), line.text.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--sim") == 0) i += 2;
  if (i >= argc) return Usage();
  std::string command = argv[i];
  if (command == "boot") return Boot();
  return Usage();
}
