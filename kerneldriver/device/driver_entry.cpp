// Driver entry and unload. ks.sys owns the device objects and the PnP and
// power dispatch; the driver hands it the device descriptor with the
// callbacks of UsbAudioDevice and creates its one filter factory per device
// at post start (no static filter descriptors).
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/trace/trace_log.h"

namespace {

constexpr ULONG kVersionMajor = 1;
constexpr ULONG kVersionMinor = 0;
constexpr ULONG kVersionBuild = 0;
constexpr ULONG kVersionRevision = 4;

const KSDEVICE_DISPATCH kDeviceDispatch = {
    UsbAudioDeviceAdd,                // Add
    nullptr,                          // Start: left to ks.sys
    UsbAudioDevicePostStart,          // PostStart
    UsbAudioDeviceQueryStop,          // QueryStop
    nullptr,                          // CancelStop
    UsbAudioDeviceStop,               // Stop
    nullptr,                          // QueryRemove
    nullptr,                          // CancelRemove
    UsbAudioDeviceRemove,             // Remove
    UsbAudioDeviceQueryCapabilities,  // QueryCapabilities
    UsbAudioDeviceSurpriseRemoval,    // SurpriseRemoval
    UsbAudioDeviceQueryPower,         // QueryPower
    UsbAudioDeviceSetPower,           // SetPower
    nullptr,                          // QueryInterface
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

// ks.sys's own unload routine, kept so the driver's unload can run it first.
PDRIVER_UNLOAD g_ksUnload = nullptr;

void DriverUnload(PDRIVER_OBJECT driverObject) {
  if (g_ksUnload != nullptr) g_ksUnload(driverObject);
  QAV_LOG(DriverUnloaded);
  TraceLogClose();
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  // Without the logger the driver runs untraced.
  TraceLogInitialize();
  (void)TraceLogOpen();
  QAV_LOG(DriverEntry, static_cast<unsigned>(kVersionMajor),
            static_cast<unsigned>(kVersionMinor), static_cast<unsigned>(kVersionBuild),
            static_cast<unsigned>(kVersionRevision));
  NTSTATUS status = KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
  if (!NT_SUCCESS(status)) {
    TraceLogClose();
    return status;
  }
  g_ksUnload = driverObject->DriverUnload;
  driverObject->DriverUnload = DriverUnload;
  return status;
}
