// image_probe.sys: the smallest kernel image, built only for the image
// check's self-test (see CMakeLists.txt), stripped or not, and with one of
// the faults of image_probe_export.cpp or image_probe_user.cpp linked in.
// It must never be loaded: DriverEntry fails.
#include <ntddk.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(driverObject);
  UNREFERENCED_PARAMETER(registryPath);
  DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_INFO_LEVEL, "image_probe: refusing to load\n");
  return STATUS_UNSUCCESSFUL;
}
