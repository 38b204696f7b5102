// Requests over the default control pipe and the USB stack, all synchronous
// and at PASSIVE_LEVEL. Everything goes down as IOCTL_INTERNAL_USB_SUBMIT_URB
// to the lower device of a UsbDeviceConfig; after surprise removal (no lower
// device) each fails at once with STATUS_DEVICE_REMOVED without a request.
#pragma once
#include "kerneldriver/usb/usb_config.h"

inline constexpr ULONG kUsbTimeoutMs = 1000;
inline constexpr ULONG kNoTimeout = 0xFFFFFFFF;

// Sends the URB and waits for it, up to timeoutMs (kNoTimeout: without
// limit). On expiry the IRP is cancelled, waited for, and STATUS_IO_TIMEOUT
// is returned: an error, where STATUS_TIMEOUT would pass every NT_SUCCESS
// check as if the request had completed. A request that pended and came
// back is judged by UsbFailureStatus.
NTSTATUS UsbSubmitUrb(UsbDeviceConfig *config, PURB urb, ULONG timeoutMs);

// The outcome of a request that came back: the IRP's status when it
// succeeded; when it failed, the URB's USBD status if the stack set an error
// there, else the IRP's own failure (a failed request is never a success,
// whatever the URB says).
NTSTATUS UsbFailureStatus(NTSTATUS irpStatus, USBD_STATUS urbStatus);

// GET_DESCRIPTOR into `buffer`; *transferred receives the bytes the device sent.
NTSTATUS UsbGetDescriptor(UsbDeviceConfig *config, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                          ULONG length, ULONG *transferred);

// String descriptor `index` in `language` as UTF-16 in `text`, which holds
// `bytes` bytes (64 or 128): zero-filled, then the string's characters after
// its 2-byte header, at most bytes - 2 of them so a terminator always
// remains. STATUS_BUFFER_OVERFLOW (the truncated text is still there) when
// the string's bLength - 2 exceeds `bytes`.
NTSTATUS UsbGetString(UsbDeviceConfig *config, UCHAR index, USHORT language, WCHAR *text, ULONG bytes);

// The copy rule of UsbGetString over a received descriptor: `received` bytes
// at `descriptor`. Pure; exposed for tests.
NTSTATUS CopyStringDescriptor(const UCHAR *descriptor, ULONG received, WCHAR *text, ULONG bytes);

struct ClassRequest {
  bool in;  // device-to-host (GET) or host-to-device (SET)
  UCHAR request;
  UCHAR controlSelector;
  UCHAR channel;
  UCHAR entity;
};

// Class-specific request to an entity of the AudioControl interface: wIndex
// is entity << 8 | the interface's own bInterfaceNumber, which need not be 0.
// *transferred (optional) receives the bytes moved.
NTSTATUS UsbClassRequest(const UsbInterface *controlInterface, const ClassRequest &request, PVOID buffer,
                         ULONG length, ULONG timeoutMs, ULONG *transferred);

NTSTATUS UsbAbortPipe(UsbDeviceConfig *config, USBD_PIPE_HANDLE pipe);
NTSTATUS UsbResetPipe(UsbDeviceConfig *config, USBD_PIPE_HANDLE pipe);

// IRP_MN_QUERY_INTERFACE for the USB bus interface of `version` into
// config->busInterface, waited for without limit.
NTSTATUS UsbQueryBusInterface(UsbDeviceConfig *config, USHORT size, USHORT version);
