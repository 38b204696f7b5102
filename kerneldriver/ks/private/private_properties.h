// The filter's private property set (KSPROPSETID_UacPrivate) as ks.sys sees
// it: the items with their handlers and minimum sizes.
#pragma once
#include "kerneldriver/kernel_headers.h"

// The items of KSPROPSETID_UacPrivate (filter) and KSMETHODSETID_UacUsb; the
// filter's automation table holds the sets. Counts are constants so the
// table is built at compile time.
inline constexpr ULONG kPrivatePropertyCount = 10;
inline constexpr ULONG kPrivateMethodCount = 2;
extern const KSPROPERTY_ITEM kPrivatePropertyItems[kPrivatePropertyCount];
extern const KSMETHOD_ITEM kPrivateMethodItems[kPrivateMethodCount];

// The handlers every item of the set shares (PFNKSHANDLER). A request for
// another set gets STATUS_NOT_IMPLEMENTED, an id beyond the set's last
// STATUS_INVALID_PARAMETER. Set on a read-only property that declares a set
// handler (ids 1, 11, 40): STATUS_INVALID_PARAMETER. PASSIVE_LEVEL.
NTSTATUS PrivatePropertyGet(PIRP irp, PKSIDENTIFIER request, PVOID value);
NTSTATUS PrivatePropertySet(PIRP irp, PKSIDENTIFIER request, PVOID value);
// The method handler of KSMETHODSETID_UacUsb (PFNKSHANDLER), with the same
// set and id checks. PASSIVE_LEVEL.
NTSTATUS PrivateMethod(PIRP irp, PKSIDENTIFIER request, PVOID data);
