// Device objects, device stacks and drivers loaded through winsim.
#include <gtest/gtest.h>

#include <algorithm>

#include "io_test_support.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

using namespace winsim;
using namespace iotest;

namespace {

struct EntryRecord {
  std::u16string registryPath;
  int unloads = 0;
} g_entry;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_entry.registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
  driver->DriverUnload = [](PDRIVER_OBJECT) { ++g_entry.unloads; };
  return STATUS_SUCCESS;
}

TEST(Drivers, DriverEntryGetsTheServiceKeyAndUnsetMajorFunctionsFailTheRequest) {
  Machine machine;
  g_entry = {};
  PDRIVER_OBJECT driver = LoadDriver(RecordingEntry, u"QavAudio");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(g_entry.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QavAudio");
  EXPECT_EQ(Narrow(driver->DriverName), "\\Driver\\QavAudio");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device), STATUS_SUCCESS);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_KS, 1, METHOD_NEITHER, FILE_ANY_ACCESS), device,
                                           nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
  UnloadDriver(driver);
  EXPECT_EQ(g_entry.unloads, 1);
}

TEST(Drivers, AFailingDriverEntryLeavesNoDriverBehind) {
  Machine machine;
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_NO_SUCH_DEVICE; },
                                     u"Broken", &status);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
}

TEST(Devices, ANewDeviceHasAZeroedExtensionAndIsStillInitializing) {
  Machine machine;
  PDRIVER_OBJECT driver = LoadTestDriver();
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 256, nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  const auto *extension = static_cast<const UCHAR *>(device->DeviceExtension);
  EXPECT_EQ(std::count(extension, extension + 256, 0), 256);  // pool itself is filled with 0xCD
  EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_KS));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(driver->DeviceObject, device);
  IoDeleteDevice(device);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  UnloadDriver(driver);
}

TEST(Devices, NamesAreUniqueUntilTheDeviceIsDeleted) {
  Machine machine;
  PDRIVER_OBJECT driver = LoadTestDriver();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\QavAudio0");
  PDEVICE_OBJECT first = nullptr, second = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_KS, 0, FALSE, &first), STATUS_SUCCESS);
  EXPECT_EQ(FindNamedDevice(u"\\Device\\QavAudio0"), first);
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_KS, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  IoDeleteDevice(first);
  EXPECT_EQ(FindNamedDevice(u"\\Device\\QavAudio0"), nullptr);
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_KS, 0, FALSE, &second), STATUS_SUCCESS);
  IoDeleteDevice(second);
  UnloadDriver(driver);
}

TEST(Devices, AttachingStacksTheDeviceOnTheCurrentTopWithOneMoreStackLocation) {
  Machine machine;
  PDRIVER_OBJECT driver = LoadTestDriver();
  Dispatch none = CompleteWith(STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = CreateTestDevice(driver, &none), filter = CreateTestDevice(driver, &none),
                 fdo = CreateTestDevice(driver, &none);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), filter);  // attached to the top, not to the target
  EXPECT_EQ(fdo->StackSize, 3);
  EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  EXPECT_EQ(top->ReferenceCount, 1);
  ObDereferenceObject(top);
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(fdo);
  EXPECT_EQ(lower, filter);
  ObDereferenceObject(lower);
  EXPECT_EQ(IoGetLowerDeviceObject(pdo), nullptr);
  IoDetachDevice(filter);
  IoDeleteDevice(fdo);
  IoDetachDevice(pdo);
  IoDeleteDevice(filter);
  IoDeleteDevice(pdo);
  UnloadDriver(driver);
}

TEST(Devices, ADeletedDeviceLivesOnWhileReferencedOrWhileADeviceIsStillAttachedToIt) {
  Machine machine;
  PDRIVER_OBJECT driver = LoadTestDriver();
  Dispatch none = CompleteWith(STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = CreateTestDevice(driver, &none), fdo = CreateTestDevice(driver, &none);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  ObReferenceObject(fdo);
  // Surprise removal order: the bus deletes its PDO while the FDO still sits on it.
  IoDeleteDevice(pdo);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 2u);
  IoDetachDevice(pdo);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 1u);
  IoDeleteDevice(fdo);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 1u);
  ObDereferenceObject(fdo);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 0u);
  UnloadDriver(driver);
}

}  // namespace
