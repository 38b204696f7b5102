// UsbAudioDevice: the per-device context of the driver, created in the KS Add
// callback, set up in PostStart, torn down in Remove and freed through the KS
// device's object bag. Everything else of the driver hangs off it.
//
// Threading: the PnP and power callbacks are serialised by ks.sys and run at
// PASSIVE_LEVEL; the KS device mutex (KsAcquireDevice) is held around filter
// factory creation, UrbSize changes and every walk over the device's
// filters (event raising); the stream state lock (taken after the KS device
// mutex, never before it) serialises the streams' state; the remove lock
// guards deferred work (the endpoint-format update) against removal.
#pragma once
#include "kerneldriver/kernel_headers.h"
#include "kerneldriver/stream/stream_state_lock.h"
#include "kerneldriver/usb/usb_config.h"

struct UsbAudioControl;
struct UsbAudioStream;
struct DynamicFilterDescriptor;
struct StreamSync;
struct UsbMidiPort;

inline constexpr ULONG kMaxMidiPorts = 32;
inline constexpr ULONG kMaxPins = 32;
inline constexpr ULONG kDefaultUrbSize = 3;
// The largest UrbSize the streams carry (frames per isochronous URB).
inline constexpr ULONG kMaxUrbSize = 128;
inline constexpr ULONG kDefaultSampleRate = 48000;
inline constexpr ULONG kHardwareIdPrefixChars = 21;
inline constexpr ULONG kProductNameBytes = 64;

struct UsbAudioDevice {
  PKSDEVICE device;
  UsbDeviceConfig config;
  ULONG midiPortCount;
  UsbMidiPort *midiPorts[kMaxMidiPorts];
  KSPIN_LOCK midiLock;  // MIDI pins' cable pointers against the ports' release
  ULONG midiPinCount[2];
  PVOID midiPinCable[kMaxPins];
  UsbAudioStream *captureStream;
  UsbAudioStream *renderStream;
  ULONG sampleRate;
  volatile LONG openAudioPins;
  HANDLE driverKey;
  ULONG urbSize;
  ULONG minUrbSize;
  DynamicFilterDescriptor *filterDescriptor;
  StreamSync *streamSync;
  UsbAudioControl *audioControl;
  volatile LONG runningAudioPins;
  IO_REMOVE_LOCK removeLock;
  PWCHAR hardwareIdList;  // kTagSmall, paged
  ULONG hardwareIdListBytes;
  WCHAR hardwareIdPrefix[kHardwareIdPrefixChars + 1];
  WCHAR productName[kProductNameBytes / sizeof(WCHAR)];
  PKSFILTERFACTORY filterFactory;
  UNICODE_STRING clientLink;  // the client interface's link (kerneldriver/device/client_interface.h)
  StreamStateLock streamState;  // see kerneldriver/stream/stream_state_lock.h
  // Synchronization event used as a PASSIVE_LEVEL lock: audio pin creation
  // and close on all the device's filters, so the first pin's rate change
  // and the openAudioPins count move together. Taken inside a filter's
  // control mutex, never around the KS device mutex.
  KEVENT audioPinGate;
};

// The device context of a KS device, or null.
inline UsbAudioDevice *AudioDeviceFromKs(PKSDEVICE device) {
  return device != nullptr ? static_cast<UsbAudioDevice *>(device->Context) : nullptr;
}

// KS device callbacks (the device descriptor's dispatch table).
NTSTATUS UsbAudioDeviceAdd(PKSDEVICE device);
NTSTATUS UsbAudioDevicePostStart(PKSDEVICE device);
void UsbAudioDeviceRemove(PKSDEVICE device, PIRP irp);
NTSTATUS UsbAudioDeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
void UsbAudioDeviceSurpriseRemoval(PKSDEVICE device, PIRP irp);
NTSTATUS UsbAudioDeviceQueryPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                  DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                  SYSTEM_POWER_STATE systemFrom, POWER_ACTION action);
void UsbAudioDeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);

// Builds the model of the configured device (post start): vendor check, the
// AudioControl object, the streams, and their pins, channels and rate
// limits into `pins` (null: the filter factory exists already and keeps
// the pins it was created with). STATUS_NOT_SUPPORTED for a vendor the
// driver does not serve.
NTSTATUS UsbAudioDeviceBuildModel(UsbAudioDevice *device, DynamicFilterDescriptor *pins);

// PnP stop (resource rebalance): refused while audio pins are open, as the
// streams under them would go; the stop releases what a start built
// (streams, StreamSync, AudioControl object, configuration) and keeps the
// filter factory, its descriptor and the settings. PostStart runs again
// after the next start.
NTSTATUS UsbAudioDeviceQueryStop(PKSDEVICE device, PIRP irp);
void UsbAudioDeviceStop(PKSDEVICE device, PIRP irp);
// What UsbAudioDeviceStop releases; nothing when nothing was built.
void UsbAudioDeviceReleaseHardware(UsbAudioDevice *device);

// Changes UrbSize the way the URB-size property does: with the KS device
// acquired (then the stream state lock) the streams take the new size and
// KSEVENT_UAC_URB_SIZE_CHANGED is raised; then "UrbSize" is stored. Returns
// the outcome: STATUS_INVALID_PARAMETER for a size no URB can have (nothing
// changes), else the first failure to apply the size or to prepare and
// restart the streams with it. PASSIVE_LEVEL.
NTSTATUS UsbAudioDeviceSetUrbSize(UsbAudioDevice *device, ULONG urbSize);

// Raises an event of KSEVENTSETID_UacPrivate on every filter of the device,
// with the KS device mutex acquired for the walk over its filters.
// PASSIVE_LEVEL; the caller holds neither the device mutex (it is not
// recursive) nor a filter's control mutex (AVStream takes the device mutex
// first). ks.sys calls none of the driver's PnP and power callbacks with the
// device mutex held: only the filters' and pins' sleep and wake callbacks,
// which the driver does not register.
void UsbAudioDeviceRaiseEvent(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data);
// The same, for a caller that already holds the KS device mutex (the UrbSize
// change).
void UsbAudioDeviceRaiseEventMutexHeld(UsbAudioDevice *device, ULONG eventId, ULONG dataSize, PVOID data);
