// Configuring the device: SELECT_CONFIGURATION at start with the bus
// interface, SELECT_INTERFACE for alternate settings, and deconfiguration at
// removal. PASSIVE_LEVEL; the caller serialises them (PnP callbacks and
// property handlers of one device do not overlap).
#pragma once
#include "kerneldriver/usb/usb_config.h"

// Reads the device and configuration descriptors, checks the configuration,
// selects it with every interface at alternate setting 0 and obtains the USB
// bus interface. On failure the configuration descriptor is freed and the
// lower device forgotten (no later request reaches the device).
NTSTATUS UsbSelectConfiguration(UsbDeviceConfig *config);

// Selects alternate setting `alternateSetting` of the interface: nothing is
// sent when it is already selected; otherwise SELECT_INTERFACE, tried up to
// three times. STATUS_INVALID_PARAMETER when the configuration has no such
// setting.
NTSTATUS UsbSelectAlternateSetting(UsbInterface *usbInterface, UCHAR alternateSetting);

// SELECT_CONFIGURATION without a configuration (when one is selected), then
// the bus interface is dereferenced and forgotten and what the
// configuration brought is freed (UsbConfigForget). Safe to call again.
NTSTATUS UsbDeconfigure(UsbDeviceConfig *config);

// True when the USB stack granted a bus interface of version 1 or later and
// it reports the device as high speed.
bool UsbIsHighSpeed(const UsbDeviceConfig *config);
