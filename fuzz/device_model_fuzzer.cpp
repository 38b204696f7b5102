// libFuzzer target: the driver's device configuration and model building
// with everything the device says taken from the input (a device script,
// fuzz/device_script.h): descriptors, class request answers, strings, how
// each request ends, the device's speed and the bus interface versions the
// stack grants. The driver runs on a FakeUsbStack in one winsim Machine
// booted once per process; every input is configured, modelled and torn down
// completely, and leaks, requests left pending or wrong model state abort
// (fuzz/model_run.h). Crashes, sanitizer reports and winsim bug checks are
// findings. device_start_fuzzer covers the whole device start in depth; this
// target trades the PnP manager, KS and streaming for speed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/model_run.h"

namespace {

// winsim keeps some history of every IRP and pool block it saw; a fresh
// Machine now and then keeps long runs from growing.
constexpr unsigned kRunsPerMachine = 100000;

qavfuzz::ModelRunner *g_runner = nullptr;

// libFuzzer ends a run with exit(), from inside its loop. The Machine must
// go first: its threads may still be running work when winsim's own statics
// are destroyed, which is a use after free. Registered after the first run,
// so winsim's statics (constructed on first use) are older and outlive it.
void DestroyRunnerAtExit() {
  delete g_runner;
  g_runner = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static unsigned runs = 0;
  if (runs % kRunsPerMachine == 0) {
    delete g_runner;
    g_runner = new qavfuzz::ModelRunner();
  }
  g_runner->Run(qavfuzz::DeviceScript::Parse({data, size}));
  if (runs++ == 0) std::atexit(DestroyRunnerAtExit);
  return 0;
}
