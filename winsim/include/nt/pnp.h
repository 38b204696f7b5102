// Plug and Play and power manager services of the host build: device
// registry keys and properties, device interfaces, and the Po* calls power
// IRPs go through. Implemented by winsim's PnP manager (winsim/kernel/pnp_*);
// values and signatures as on 64-bit Windows.
//
// IRQL: everything here runs at PASSIVE_LEVEL except PoCallDriver,
// PoStartNextPowerIrp, PoRequestPowerIrp and PoSetPowerState (<= DISPATCH_LEVEL).
// Passing a device object that is not a PDO the PnP manager enumerated to a
// function that wants one is a bug check (PNP_DETECTED_FATAL_ERROR), as on Windows.
#pragma once
#include <nt/io.h>
#include <nt/po.h>

#ifndef STATUS_INVALID_PARAMETER_4
#define STATUS_INVALID_PARAMETER_4 ((NTSTATUS)0xC00000F2)
#endif
#ifndef STATUS_INVALID_PARAMETER_5
#define STATUS_INVALID_PARAMETER_5 ((NTSTATUS)0xC00000F3)
#endif

// IoOpenDeviceRegistryKey key types.
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

typedef enum {
  DevicePropertyDeviceDescription = 0x0,
  DevicePropertyHardwareID = 0x1,
  DevicePropertyCompatibleIDs = 0x2,
  DevicePropertyBootConfiguration = 0x3,
  DevicePropertyBootConfigurationTranslated = 0x4,
  DevicePropertyClassName = 0x5,
  DevicePropertyClassGuid = 0x6,
  DevicePropertyDriverKeyName = 0x7,
  DevicePropertyManufacturer = 0x8,
  DevicePropertyFriendlyName = 0x9,
  DevicePropertyLocationInformation = 0xa,
  DevicePropertyPhysicalDeviceObjectName = 0xb,
  DevicePropertyBusTypeGuid = 0xc,
  DevicePropertyLegacyBusType = 0xd,
  DevicePropertyBusNumber = 0xe,
  DevicePropertyEnumeratorName = 0xf,
  DevicePropertyAddress = 0x10,
  DevicePropertyUINumber = 0x11,
  DevicePropertyInstallState = 0x12,
  DevicePropertyRemovalPolicy = 0x13,
  DevicePropertyResourceRequirements = 0x14,
  DevicePropertyAllocatedResources = 0x15,
  DevicePropertyContainerID = 0x16
} DEVICE_REGISTRY_PROPERTY;

// IRP_MN_QUERY_PNP_DEVICE_STATE bits.
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020

#define DEVICE_INTERFACE_INCLUDE_NONACTIVE 0x00000001

// The PnP manager asks the device's stack for its state
// (IRP_MN_QUERY_PNP_DEVICE_STATE) later, from its own thread. IRQL <=
// DISPATCH_LEVEL.
VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject);

// Opens (creating when missing) the device's hardware key ("Device
// Parameters" of its Enum key) or its driver (software) key. The handle is a
// kernel handle for ZwClose.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey, WINSIM_CALLSITE);

// Copies the property into PropertyBuffer. *ResultLength receives the size
// the property needs; a smaller BufferLength gives STATUS_BUFFER_TOO_SMALL
// and copies nothing. A property the device does not have gives
// STATUS_OBJECT_NAME_NOT_FOUND; one winsim does not keep, STATUS_INVALID_PARAMETER_2.
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength, WINSIM_CALLSITE);

// Registers (or finds again) the interface of class InterfaceClassGuid on the
// PDO. SymbolicLinkName receives the link "\??\<instance path with #>#{class}"
// plus "\<reference string>", in paged pool; free it with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName,
                                   WINSIM_CALLSITE);
// STATUS_OBJECT_NAME_EXISTS when enabling an enabled interface,
// STATUS_OBJECT_NAME_NOT_FOUND when disabling a disabled or unknown one.
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable, WINSIM_CALLSITE);
// Opens (creating when missing) the interface's "Device Parameters" key.
NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey, WINSIM_CALLSITE);

// Frees a string the system allocated for the caller (IoRegisterDeviceInterface).
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// Power IRPs. PoCallDriver passes a power IRP down like IoCallDriver; as on
// current Windows, PoStartNextPowerIrp has nothing left to do.
typedef VOID REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE *PREQUEST_POWER_COMPLETE;

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, WINSIM_CALLSITE);
void PoStartNextPowerIrp(PIRP Irp);
// Sends a device power IRP (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or
// IRP_MN_WAIT_WAKE) to the top of DeviceObject's stack and calls
// CompletionFunction when it completes. Returns STATUS_PENDING. At
// PASSIVE_LEVEL the IRP is sent on the calling thread, otherwise from a system
// worker, so that drivers of pageable devices see it at PASSIVE_LEVEL.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp, WINSIM_CALLSITE);
// Records the device's new power state; returns the previous one.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
