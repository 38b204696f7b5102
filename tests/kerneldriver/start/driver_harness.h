// A Machine with QavAudio installed and one simulated interface plugged in:
// the driver's device start runs through winsim's PnP manager, ks.sys and USB
// stack exactly as on Windows. The device sits behind a recorder that keeps
// every control request that reached it, so tests can tell what the driver
// sent and what it did not.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "kerneldriver/device/sample_rate.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace dstest {

using winsim::devices::AudioDevice;
using winsim::devices::DeviceDefinition;
using winsim::devices::DeviceModel;
using winsim::devices::FaultKnobs;
using winsim::usb::SetupPacket;

struct RecordedRequest {
  SetupPacket setup;
  std::vector<uint8_t> outData;  // host-to-device data stage
};

// Passes everything to the audio device and records control requests.
class RecordingFunction : public winsim::usb::UsbFunction {
 public:
  explicit RecordingFunction(std::shared_ptr<AudioDevice> device);

  winsim::usb::BusSpeed Speed() const override { return m_device->Speed(); }
  std::string Label() const override { return m_device->Label(); }
  winsim::usb::TransferOutcome Control(const SetupPacket &setup, uint8_t *data, winsim::usb::VTime now) override;
  winsim::usb::TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data,
                                      uint32_t length) override {
    if (isoObserver) isoObserver(endpoint, microframe, data, length);
    return m_device->IsoOut(endpoint, microframe, data, length);
  }
  winsim::usb::TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer,
                                     uint32_t capacity) override {
    winsim::usb::TransferOutcome outcome = m_device->IsoIn(endpoint, microframe, buffer, capacity);
    if (isoObserver) isoObserver(endpoint, microframe, buffer, std::min(outcome.length, capacity));
    return outcome;
  }
  winsim::usb::TransferOutcome BulkOrInterruptIn(uint8_t endpoint, winsim::usb::VTime now, uint8_t *buffer,
                                                 uint32_t capacity) override {
    return m_device->BulkOrInterruptIn(endpoint, now, buffer, capacity);
  }
  winsim::usb::TransferOutcome BulkOrInterruptOut(uint8_t endpoint, winsim::usb::VTime now, const uint8_t *data,
                                                  uint32_t length) override {
    return m_device->BulkOrInterruptOut(endpoint, now, data, length);
  }
  void BusReset(winsim::usb::VTime now) override { m_device->BusReset(now); }
  void PowerLoss(winsim::usb::VTime now) override { m_device->PowerLoss(now); }
  void SofOffsetChanged(int32_t ppm) override { m_device->SofOffsetChanged(ppm); }

  std::vector<RecordedRequest> Requests() const;
  size_t RequestCount() const;

  // Sees every isochronous packet as it crosses the bus (OUT before the
  // device takes it, IN after the device filled it). Set before streaming
  // starts; it runs under the host controller's lock and must not call winsim.
  std::function<void(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length)> isoObserver;

 private:
  std::shared_ptr<AudioDevice> m_device;
  mutable std::mutex m_lock;
  std::vector<RecordedRequest> m_requests;
};

// "USB\VID_xxxx&PID_xxxx" of a model.
std::u16string HardwareId(const DeviceModel &model);
DeviceDefinition Build(const DeviceModel &model);
const DeviceModel &Model(const char *name);

// Audio class requests as they appear on the bus.
bool IsSetCur(const SetupPacket &setup, uint8_t entity, uint8_t selector);
bool IsSetInterface(const SetupPacket &setup);
uint32_t Le32(const std::vector<uint8_t> &bytes);

// A client's filter on the driver's factory with every private event
// enabled (buffered, so each generation's data is kept). Closed at
// destruction unless closed before.
class ClientFilter {
 public:
  explicit ClientFilter(PKSFILTERFACTORY factory);
  ~ClientFilter();
  ClientFilter(const ClientFilter &) = delete;
  ClientFilter &operator=(const ClientFilter &) = delete;

  bool Open() const { return m_filter != nullptr; }
  void Close();
  // The data of every generation of the event so far, oldest first (taken:
  // a second call returns only what came since).
  std::vector<std::vector<uint8_t>> Take(ULONG eventId);

 private:
  static constexpr ULONG kEvents = 4;
  struct Entry {
    KEVENT event;
    KSEVENT_ENTRY entry{};
    KSBUFFER_ITEM buffer{};
  };
  PKSFILTER m_filter = nullptr;
  KSEVENT_ITEM m_items[kEvents]{};
  KSEVENT_SET m_set{};
  Entry m_entries[kEvents];
};

// The options of the machine a test gets (with the driver logger unless the
// suite turned it off): QAV_ECHO_LOG=1 echoes the machine
// log (driver traces, PnP, USB) to stderr; QAV_PARALLEL_SEED=n runs it in
// parallel mode, as does a suite that sets SuiteParallelMode() in its
// SetUpTestSuite (and clears it in TearDownTestSuite).
std::optional<winsim::ParallelOptions> &SuiteParallelMode();
// Whether the machine has the driver logger device (it does unless a suite
// clears this in SetUpTestSuite and sets it again in TearDownTestSuite): the
// driver's trace records are what LogHas and the trace tests read.
bool &SuiteTraceLogger();
winsim::MachineOptions TestMachineOptions();

class DriverStartTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Installs QavAudio for the definition's ids, applies the faults, plugs
  // the device and waits until the PnP manager is done with it.
  void Plug(DeviceDefinition definition, const std::function<void(FaultKnobs &)> &faults = {});
  void Plug(const char *model, const std::function<void(FaultKnobs &)> &faults = {});
  // Unplugs and waits until the stack is gone (and the driver unloaded).
  void Unplug(bool surprise = false);
  // Unplug and plug the same device again (same serial: same driver key).
  void Replug();

  winsim::DeviceNodeInfo Node();
  // The driver's context of the plugged device; null when it has none.
  UsbAudioDevice *Context() const;
  UsbAudioDevice &Ctx() const;

  // Values of the device's driver key.
  std::optional<uint32_t> ReadDriverDword(const char16_t *name);
  void WriteDriverDword(const char16_t *name, uint32_t value);

  winsim::Machine machine{TestMachineOptions()};
  std::shared_ptr<AudioDevice> device;
  std::shared_ptr<RecordingFunction> bus;
  winsim::usb::UsbDeviceHandle handle;
  PDEVICE_OBJECT pdo = nullptr;
  DeviceDefinition definition;
  bool installed = false;
};

}  // namespace dstest
