// The USB bus interface (USB_BUS_INTERFACE_USBDI_GUID), host build: what a
// function driver obtains with IRP_MN_QUERY_INTERFACE to read the bus frame
// number and the device speed without a round trip through URBs. Layouts as
// on 64-bit Windows. Every function takes the interface's BusContext first.
#pragma once
#include <ntdef.h>
#include <usb.h>

// The generic interface header every queried interface starts with. On
// Windows it lives in wdm.h; it is here until winsim's kernel headers take it,
// which they can do by defining it under the same guard.
#ifndef WINSIM_INTERFACE_DEFINED
#define WINSIM_INTERFACE_DEFINED
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
static_assert(sizeof(INTERFACE) == 32, "INTERFACE layout");
#endif

// Windows x64 has a single calling convention.
#ifndef USB_BUSIFFN
#define USB_BUSIFFN
#endif

typedef PVOID PUSB_DEVICE_HANDLE;

typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID, PURB);
typedef VOID(USB_BUSIFFN *PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID, PUSBD_VERSION_INFORMATION, PULONG);
// Current bus frame number (1 ms frames).
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID, PULONG);
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_ENUM_LOG_ENTRY)(PVOID, ULONG, ULONG, ULONG, ULONG);
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID, ULONG, PVOID, PULONG, PULONG);
typedef BOOLEAN(USB_BUSIFFN *PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID);

#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

typedef struct _USB_BUS_INFORMATION_LEVEL_0 {
  ULONG TotalBandwidth;
  ULONG ConsumedBandwidth;
} USB_BUS_INFORMATION_LEVEL_0, *PUSB_BUS_INFORMATION_LEVEL_0;

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18,
            0xd6);

// Version n extends version n-1; a driver asks for the version it needs and
// reads Size/Version to see what it got.
typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

typedef struct _USB_BUS_INTERFACE_USBDI_V2 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
  PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
} USB_BUS_INTERFACE_USBDI_V2, *PUSB_BUS_INTERFACE_USBDI_V2;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80, "USB_BUS_INTERFACE_USBDI_V2 layout");
