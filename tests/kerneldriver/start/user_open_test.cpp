// The driver's filter opened from user mode by the interface path SetupAPI
// hands out, and a device unplugged while a client holds it open.
#include <windows.h>

#include "driver_harness.h"
#include "winsim/user/device_paths.h"

namespace dstest {
namespace {

using UserOpenTest = DriverStartTest;

std::vector<std::string> FilterPaths(winsim::Machine &machine, PDEVICE_OBJECT pdo) {
  std::vector<std::string> paths;
  for (const winsim::DeviceInterfaceInfo &info : machine.Pnp().Interfaces(nullptr, true)) {
    if (info.pdo == pdo) paths.push_back(winsim::UserInterfacePath(info));
  }
  return paths;
}

HANDLE OpenFilter(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

TEST_F(UserOpenTest, EveryInterfacePathOfTheDeviceOpensItsFilter) {
  Plug("Larch");
  std::vector<std::string> paths = FilterPaths(machine, pdo);
  ASSERT_FALSE(paths.empty());
  for (const std::string &path : paths) {
    SCOPED_TRACE(path);
    HANDLE filter = OpenFilter(path);
    ASSERT_NE(filter, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Node().openHandles, 1u);
    EXPECT_TRUE(CloseHandle(filter));
    EXPECT_EQ(Node().openHandles, 0u);
  }
}

TEST_F(UserOpenTest, AnUnpluggedDeviceFailsRequestsOnTheOpenFilterAndTheDriverGoesAtItsClose) {
  Plug("Larch");
  std::vector<std::string> paths = FilterPaths(machine, pdo);
  ASSERT_FALSE(paths.empty());
  HANDLE filter = OpenFilter(paths[0]);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  Unplug(/*surprise=*/true);
  EXPECT_NE(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "REMOVE_DEVICE waits for the handle";
  KSPROPERTY property{};
  ULONG value = 0;
  DWORD bytes = 0;
  EXPECT_FALSE(
      DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof property, &value, sizeof value, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_TRUE(CloseHandle(filter));
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "unloaded, its pool checked";
}

}  // namespace
}  // namespace dstest
