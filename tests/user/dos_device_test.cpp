// DOS device names: CreateFile on "\\.\NAME" reaches the device a driver
// linked NAME to with IoCreateSymbolicLink, in any of the directory's
// spellings and without regard to case; without a link (never made, deleted,
// or naming a device that is gone) the open fails with ERROR_FILE_NOT_FOUND.
#include <gtest/gtest.h>
#include <windows.h>
#include <wdm.h>

#include <string>

#include "tests/user/io_test_driver.h"
#include "winsim/kernel/io_symlinks.h"
#include "winsim/machine.h"

using namespace usertest;

namespace {

NTSTATUS Link(const WCHAR *linkName, const WCHAR *target = u"\\Device\\QavUserIo") {
  UNICODE_STRING link;
  UNICODE_STRING device;
  RtlInitUnicodeString(&link, linkName);
  RtlInitUnicodeString(&device, target);
  return IoCreateSymbolicLink(&link, &device);
}

NTSTATUS Unlink(const WCHAR *linkName) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkName);
  return IoDeleteSymbolicLink(&link);
}

HANDLE Open(const char *path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
}

struct OpenCase {
  const WCHAR *link;     // as the driver names it
  const char *path;      // as user mode opens it
  const char *fileName;  // what the device's create sees, narrowed
};

class DosDeviceOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(DosDeviceOpen, TheLinkLeadsToTheDeviceWithTheRestAsFileName) {
  winsim::Machine machine;
  IoTestDriver driver;
  std::string seenName = "(no create)";
  driver.onCreate = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    const UNICODE_STRING &name = stack->FileObject->FileName;
    seenName.assign(name.Buffer, name.Buffer + name.Length / sizeof(WCHAR));
    return Complete(irp, STATUS_SUCCESS);
  };
  const OpenCase c = GetParam();
  ASSERT_EQ(Link(c.link), STATUS_SUCCESS);
  HANDLE file = Open(c.path);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.path << ": error " << GetLastError();
  EXPECT_EQ(seenName, c.fileName);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(Unlink(c.link), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DosDeviceOpen,
    ::testing::Values(OpenCase{u"\\DosDevices\\QavUserIo", "\\\\.\\QavUserIo", ""},
                      OpenCase{u"\\??\\QavUserIo", "\\\\.\\qavuserio", ""},
                      OpenCase{u"\\GLOBAL??\\QavUserIo", "\\\\?\\QAVUSERIO", ""},
                      OpenCase{u"\\DosDevices\\QavUserIo", "\\\\.\\QavUserIo\\pin\\0", "\\pin\\0"}));

TEST(DosDevice, WithoutALinkTheNameIsNotFound) {
  winsim::Machine machine;
  IoTestDriver driver;
  const char *paths[] = {"\\\\.\\QavUserIo", "\\\\.\\QavUserIoX", "\\\\.\\QavUser", "\\\\.\\"};
  ASSERT_EQ(Link(u"\\DosDevices\\QavUserIoX", u"\\Device\\NoSuchDevice"), STATUS_SUCCESS);
  for (const char *path : paths) {
    SetLastError(0);
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
  }
  EXPECT_TRUE(driver.Seen().empty());
  ASSERT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
  ASSERT_EQ(Unlink(u"\\??\\QAVUSERIO"), STATUS_SUCCESS);
  EXPECT_EQ(Open("\\\\.\\QavUserIo"), INVALID_HANDLE_VALUE) << "a deleted link leads nowhere";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(DosDevice, ALinkOutlivingItsDeviceLeadsNowhere) {
  winsim::Machine machine;
  {
    IoTestDriver driver;
    ASSERT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
  }
  EXPECT_EQ(Open("\\\\.\\QavUserIo"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // The name stays taken until someone deletes the link.
  EXPECT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_OBJECT_NAME_COLLISION);
}

TEST(DosDevice, LinksAreRefusedAsTheObjectManagerRefusesThem) {
  winsim::Machine machine;
  EXPECT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
  EXPECT_EQ(Link(u"\\??\\qavuserio"), STATUS_OBJECT_NAME_COLLISION) << "one directory, names without case";
  EXPECT_EQ(Link(u"\\Device\\QavUserIoLink"), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Link(u"\\DosDevices\\Sub\\QavUserIo"), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Unlink(u"\\DosDevices\\NeverLinked"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Unlink(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
  EXPECT_EQ(Unlink(u"\\DosDevices\\QavUserIo"), STATUS_OBJECT_NAME_NOT_FOUND) << "deleted once only";
}

TEST(DosDevice, AMachineStartsWithoutTheLinksOfTheLastOne) {
  {
    winsim::Machine machine;
    ASSERT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
  }
  EXPECT_EQ(winsim::SymbolicLinkCount(), 0u);
  winsim::Machine machine;
  EXPECT_EQ(Link(u"\\DosDevices\\QavUserIo"), STATUS_SUCCESS);
}

void LinkAtDispatchLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Link(u"\\DosDevices\\QavUserIo");
}

void UnlinkAtDispatchLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Unlink(u"\\DosDevices\\QavUserIo");
}

TEST(DosDeviceDeathTest, LinkingAbovePassiveLevelStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        LinkAtDispatchLevel();
      },
      "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*IoCreateSymbolicLink called at IRQL 2.*\n.*dos_device_test.cpp");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        UnlinkAtDispatchLevel();
      },
      "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*IoDeleteSymbolicLink called at IRQL 2.*\n.*dos_device_test.cpp");
}

}  // namespace
