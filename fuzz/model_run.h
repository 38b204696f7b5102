// One pass of the driver's device configuration and model building over a
// device on a FakeUsbStack, driven through the driver's own functions in the
// order its post start calls them: select the configuration (device and
// configuration descriptors, their checks, the interface list, the bInterval
// clamp, SELECT_CONFIGURATION, the bus interface), read the product name,
// build the model (AudioControl with its clocks, rate and rate list; streams
// with their format choice), read the rate and prepare each stream for it
// (SELECT_INTERFACE to the chosen setting and back), pair the streams; then
// tear it all down as Remove does.
//
// Each run checks what the driver did: descriptor pointers inside the cached
// configuration, no isochronous bInterval above 4 reaching the stack, kept
// streams with channels and a data endpoint; and, after teardown, nothing
// left pending at the stack, the bus interface dereferenced as often as
// referenced, and pool back to where it was. A failed check prints what it
// found and aborts, which libFuzzer reports as a crash.
//
// One ModelRunner at a time: it boots a winsim Machine (the constructing
// thread becomes its test thread and must make every run). QAV_ECHO_LOG=1
// echoes the machine log (the driver's traces) to stderr.
#pragma once
#include <memory>
#include <string>

#include "fuzz/device_script.h"
#include "fuzz/fake_usb_stack.h"
#include "winsim/machine.h"

namespace qavfuzz {

// What a run built, to compare runs and to print.
struct ModelOutcome {
  NTSTATUS configured = 0;  // UsbSelectConfiguration
  NTSTATUS built = 0;       // UsbAudioDeviceBuildModel; 0 when not reached
  unsigned interfaces = 0;
  bool audioControl = false;
  unsigned clocks = 0;
  unsigned rates = 0;
  unsigned rate = 0;              // the rate read after the model was built
  unsigned captureChannels = 0;   // 0: no capture stream
  unsigned renderChannels = 0;
  NTSTATUS capturePrepared = 0;   // UsbAudioStreamPrepareForRate; 0 when not reached
  NTSTATUS renderPrepared = 0;

  std::string Describe() const;
  bool operator==(const ModelOutcome &) const = default;
};

class ModelRunner {
 public:
  ModelRunner();
  ~ModelRunner();
  ModelRunner(const ModelRunner &) = delete;
  ModelRunner &operator=(const ModelRunner &) = delete;

  ModelOutcome Run(winsim::usb::UsbFunction &device, StackOptions options);
  // The device and stack a script describes.
  ModelOutcome Run(const DeviceScript &script);

 private:
  winsim::Machine m_machine;
  std::unique_ptr<FakeUsbStack> m_stack;
};

StackOptions OptionsOf(const DeviceScript &script);

}  // namespace qavfuzz
