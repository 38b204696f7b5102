// What ks.sys calls on the device's filter itself: the Create dispatch, which
// gives every filter instance (one per client) the device context as its
// Context, and the filter's automation table: KSPROPERTY_PIN_NAME, the
// private property and method sets (kerneldriver/ks/private/) and the
// private event sets.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioDevice;

extern const KSFILTER_DISPATCH kFilterDispatch;
extern const KSAUTOMATION_TABLE kFilterAutomation;

// Filter Create (PFNKSFILTERIRP): ks.sys holds the device mutex.
// STATUS_INTERNAL_ERROR when the KS device has no device context.
NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp);

// KSPROPERTY_PIN_NAME get (PFNKSHANDLER; request KSP_PIN). The device is
// found through the device object the request was sent to; the request and
// value lengths are those of the IRP's stack location. PASSIVE_LEVEL.
NTSTATUS FilterPinNameHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// The name of filter pin pinId into data (dataLength bytes); *returned is the
// name's full size. STATUS_INVALID_PARAMETER for a pin the filter does not
// have. Pins without a name of their own (audio pins, and every pin while no
// direction has more than one MIDI pin) get success with 0 bytes.
NTSTATUS FilterPinName(const UsbAudioDevice *device, ULONG pinId, PVOID data, ULONG dataLength, ULONG *returned);
