// layout_probe.sys: a kernel image built only to prove that the package's
// layout expectations and the private interface hold against MinGW-w64's real
// DDK headers, compiled and linked exactly as the driver is. It must never be
// loaded: DriverEntry fails, so the I/O manager unloads it at once.
//
// The include order below is the one kernel code needs with MinGW's headers:
// windef.h supplies the Win32 base types ksmedia.h and mmreg.h use, NOBITMAP
// keeps mmreg.h from needing wingdi.h, ksmedia.h expects TCHAR, and the USB
// headers have no extern "C" of their own.
#include <ntddk.h>
#include <windef.h>
#include <ks.h>
#define NOBITMAP
#include <mmreg.h>
typedef WCHAR TCHAR;
#include <ksmedia.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
}

#include "uac2common/uac2private.h"
#include "uac2common/wstr.h"
#include "toolchain/usb_layouts.h"

static_assert(sizeof(QAV_W("x")[0]) == sizeof(WCHAR), "QAV_W yields WCHAR literals in kernel code");

// References one import of each library the driver links (ntoskrnl, usbd, ks),
// so the import check sees the names the real driver will have.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  USBD_VERSION_INFORMATION version = {};
  USBD_GetUSBDIVersion(&version);
  driverObject->DriverUnload = KsNullDriverUnload;
  ClockSourceInfo info = {};
  ClockSourceInfoSetName(info, QAV_W("probe"), 5);
  DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_INFO_LEVEL, "layout_probe: USBDI %lx, name units %u; refusing to load\n",
             version.USBDI_Version, static_cast<unsigned>(info.Name[0]));
  return STATUS_UNSUCCESSFUL;
}
