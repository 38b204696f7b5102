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

#include "fuzz/model_run.h"

namespace {

// winsim keeps some history of every IRP and pool block it saw; a fresh
// Machine now and then keeps long runs from growing.
constexpr unsigned kRunsPerMachine = 100000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The last one is never destroyed: libFuzzer exits from inside its run
  // loop, where a Machine cannot be torn down.
  static qavfuzz::ModelRunner *runner = nullptr;
  static unsigned runs = 0;
  if (runs++ % kRunsPerMachine == 0) {
    delete runner;
    runner = new qavfuzz::ModelRunner();
  }
  runner->Run(qavfuzz::DeviceScript::Parse({data, size}));
  return 0;
}
