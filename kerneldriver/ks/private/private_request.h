// One request of the private property or method set, as its handlers see
// it: the device the filter serves, the request and the value buffer with
// the lengths the I/O request carries. Every length here comes from the IRP's
// stack location, the only place that tells how large the buffers ks.sys
// hands over really are; nothing a caller writes into a buffer sizes a copy
// or a transfer.
//
// All handlers run at PASSIVE_LEVEL in the caller's thread, without the KS
// device mutex or the filter's control mutex held.
#pragma once
#include "kerneldriver/device/device.h"

// A USB control transfer's data stage is at most this long (wLength is 16 bits).
inline constexpr ULONG kMaxControlDataBytes = 0xFFFF;

struct PrivateRequest {
  PIRP irp;
  UsbAudioDevice *device;
  const UCHAR *request;  // the KSPROPERTY or KSMETHOD and what follows it
  ULONG requestLength;
  PUCHAR value;          // null when valueLength is 0
  ULONG valueLength;
  ULONG returned;        // becomes IoStatus.Information
};

// Fills `request` from a handler's arguments. STATUS_INVALID_PARAMETER when
// the IRP or the identifier is missing, when the request is shorter than
// `minRequest` or when a value buffer is announced but absent.
NTSTATUS PrivateRequestOpen(PIRP irp, PKSIDENTIFIER identifier, PVOID value, ULONG minRequest,
                            PrivateRequest *request);
// Finds the device of the filter the request was sent to;
// STATUS_INVALID_PARAMETER without a filter or without its device context.
NTSTATUS PrivateRequestBindDevice(PrivateRequest *request);
// Whether the request addresses `set`.
bool PrivateRequestIsFor(const KSIDENTIFIER *identifier, const GUID &set);
// Hands the returned length to the IRP and passes the status through.
NTSTATUS PrivateRequestClose(PrivateRequest *request, NTSTATUS status);

// u32 values: the first four bytes of the value buffer (at least four are
// there: the caller checked).
ULONG PrivateReadU32(const PrivateRequest *request);
NTSTATUS PrivateReturnU32(PrivateRequest *request, ULONG value);

// An array of u32 answered the way property requests answer lists: with no
// value buffer the size query (the list's full length with
// STATUS_BUFFER_OVERFLOW); otherwise as many whole entries as fit, and
// STATUS_BUFFER_OVERFLOW when some did not. The returned length never
// exceeds the value buffer: the I/O manager copies that many bytes back.
NTSTATUS PrivateReturnU32Array(PrivateRequest *request, const ULONG *values, ULONG count);

// Property handlers by concern. Each gets a request whose set, id and
// minimum sizes were checked.
NTSTATUS UrbSizeGet(PrivateRequest *request);
NTSTATUS UrbSizeSet(PrivateRequest *request);
NTSTATUS MinUrbSizeGet(PrivateRequest *request);
NTSTATUS ActiveSampleRateGet(PrivateRequest *request);
NTSTATUS SampleRatesGet(PrivateRequest *request);
NTSTATUS SampleRateGet(PrivateRequest *request);
NTSTATUS SampleRateSet(PrivateRequest *request);
NTSTATUS ClockSourceGet(PrivateRequest *request);
NTSTATUS ClockSourceSet(PrivateRequest *request);
NTSTATUS ClockSourceInfoGet(PrivateRequest *request);
NTSTATUS ClassRequestGet(PrivateRequest *request);
NTSTATUS ClassRequestSet(PrivateRequest *request);
NTSTATUS RenderClientsGet(PrivateRequest *request);
NTSTATUS ProductIdGet(PrivateRequest *request);

// Method handlers.
NTSTATUS GetDescriptorMethod(PrivateRequest *request);
NTSTATUS ControlTransferMethod(PrivateRequest *request);
