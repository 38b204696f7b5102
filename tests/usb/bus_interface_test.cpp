// IRP_MN_QUERY_INTERFACE for the USB bus interface: the versions and their
// sizes, the fallback a driver walks when a version is refused, and what
// the functions answer for devices on different buses and speeds.
#include <usbbusif.h>

#include <cstring>

#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_host.h"

using namespace usbtest;
using winsim::kTicksPerMillisecond;

namespace {

constexpr USHORT kUntouched = 0xEEEE;

// The interface memory is filled with a pattern first so that writes beyond
// the granted version's size show.
NTSTATUS QueryBusInterface(FunctionStack &stack, USHORT version, USHORT size, USB_BUS_INTERFACE_USBDI_V2 *out) {
  std::memset(out, 0xEE, sizeof *out);
  out->Size = 0;
  return stack.Pnp(IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION next) {
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(out);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  });
}

struct VersionCase {
  const char *name;
  USHORT version;
  USHORT size;
  bool hasIsDeviceHighSpeed;
  bool hasEnumLogEntry;
};

class BusInterfaceVersions : public UsbStackTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(BusInterfaceVersions, AreFilledUpToTheirOwnSizeAndReferencedOnce) {
  USB_BUS_INTERFACE_USBDI_V2 bus;
  ASSERT_EQ(QueryBusInterface(*stack, GetParam().version, GetParam().size, &bus), STATUS_SUCCESS);
  EXPECT_EQ(bus.Size, GetParam().size);
  EXPECT_EQ(bus.Version, GetParam().version);
  EXPECT_NE(bus.QueryBusTime, nullptr);
  EXPECT_EQ(bus.IsDeviceHighSpeed != reinterpret_cast<PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED>(0xEEEEEEEEEEEEEEEEull),
            GetParam().hasIsDeviceHighSpeed);
  EXPECT_EQ(bus.EnumLogEntry != reinterpret_cast<PUSB_BUSIFFN_ENUM_LOG_ENTRY>(0xEEEEEEEEEEEEEEEEull),
            GetParam().hasEnumLogEntry);
  winsim::usb::UsbPdo *pdo = machine.Bus(1)->Pdo(handle.port);
  EXPECT_EQ(pdo->BusInterfaceReferences(), 1);
  bus.InterfaceReference(bus.BusContext);
  EXPECT_EQ(pdo->BusInterfaceReferences(), 2);
  bus.InterfaceDereference(bus.BusContext);
  bus.InterfaceDereference(bus.BusContext);
  EXPECT_EQ(pdo->BusInterfaceReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    UsbdiVersions, BusInterfaceVersions,
    ::testing::Values(VersionCase{"V2", USB_BUSIF_USBDI_VERSION_2, sizeof(USB_BUS_INTERFACE_USBDI_V2), true, true},
                      VersionCase{"V1", USB_BUSIF_USBDI_VERSION_1, sizeof(USB_BUS_INTERFACE_USBDI_V1), true, false},
                      VersionCase{"V0", USB_BUSIF_USBDI_VERSION_0, sizeof(USB_BUS_INTERFACE_USBDI_V0), false, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct FallbackCase {
  const char *name;
  uint32_t grantedVersions;
  int expectedVersion;  // -1: none
};

class BusInterfaceFallback : public UsbStackTest, public ::testing::WithParamInterface<FallbackCase> {};

// The driver asks for version 2, then 1, then 0, while Size stays 0.
TEST_P(BusInterfaceFallback, DriverGetsTheNewestVersionTheBusGrants) {
  machine.Bus(1)->SetBusInterfaceVersions(GetParam().grantedVersions);
  const USHORT sizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                          sizeof(USB_BUS_INTERFACE_USBDI_V2)};
  USB_BUS_INTERFACE_USBDI_V2 bus;
  std::vector<NTSTATUS> answers;
  for (int version = 2; version >= 0; --version) {
    answers.push_back(QueryBusInterface(*stack, static_cast<USHORT>(version), sizes[version], &bus));
    if (bus.Size != 0) break;
  }
  if (GetParam().expectedVersion < 0) {
    EXPECT_EQ(bus.Size, 0);
    EXPECT_EQ(answers.back(), STATUS_NOT_SUPPORTED);
    return;
  }
  EXPECT_EQ(bus.Version, GetParam().expectedVersion);
  EXPECT_EQ(answers.back(), STATUS_SUCCESS);
  for (size_t i = 0; i + 1 < answers.size(); ++i) EXPECT_EQ(answers[i], STATUS_NOT_SUPPORTED);
  bus.InterfaceDereference(bus.BusContext);
}

INSTANTIATE_TEST_SUITE_P(Masks, BusInterfaceFallback,
                         ::testing::Values(FallbackCase{"All", 0x7, 2}, FallbackCase{"NoV2", 0x3, 1},
                                           FallbackCase{"OnlyV0", 0x1, 0}, FallbackCase{"None", 0x0, -1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbStackTest, BusInterfaceWithTooSmallASizeIsRefusedAndLeftEmpty) {
  USB_BUS_INTERFACE_USBDI_V2 bus;
  // 40 bytes: what version 2 occupies in a 32-bit build.
  EXPECT_EQ(QueryBusInterface(*stack, USB_BUSIF_USBDI_VERSION_2, 40, &bus), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.Size, 0);
  EXPECT_EQ(bus.Version, kUntouched);
}

TEST_F(UsbStackTest, QueryBusTimeFollowsTheFrameCounterOfTheDevicesBus) {
  USB_BUS_INTERFACE_USBDI_V2 bus;
  ASSERT_EQ(QueryBusInterface(*stack, 2, sizeof bus, &bus), STATUS_SUCCESS);
  ULONG first = 0, later = 0;
  ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &first), STATUS_SUCCESS);
  EXPECT_EQ(first, machine.Bus(1)->Controller().CurrentFrame());
  machine.RunFor(5 * kTicksPerMillisecond);
  bus.QueryBusTime(bus.BusContext, &later);
  EXPECT_EQ(later, first + 5);
  USBD_VERSION_INFORMATION version{};
  ULONG capabilities = 0xFFFFFFFF;
  bus.GetUSBDIVersion(bus.BusContext, &version, &capabilities);
  EXPECT_EQ(version.USBDI_Version, USBDI_VERSION);
  EXPECT_EQ(version.Supported_USB_Version, 0x0200u);
  EXPECT_EQ(capabilities, 0u);
  bus.InterfaceDereference(bus.BusContext);
}

TEST_F(UsbStackTest, DevicesOnOtherBusesAndSpeedsGetTheirOwnContextFrameCounterAndSpeed) {
  winsim::usb::UsbDeviceHandle fullSpeed;
  extraStacks.push_back(
      PlugWithStack(std::make_shared<FakeDevice>(BuildModel("Hazel"), BusSpeed::Full), 2, &fullSpeed));
  extraDevices.push_back(fullSpeed);
  USB_BUS_INTERFACE_USBDI_V2 high, full;
  ASSERT_EQ(QueryBusInterface(*stack, 2, sizeof high, &high), STATUS_SUCCESS);
  ASSERT_EQ(QueryBusInterface(*extraStacks[0], 2, sizeof full, &full), STATUS_SUCCESS);
  EXPECT_NE(high.BusContext, full.BusContext);
  EXPECT_TRUE(high.IsDeviceHighSpeed(high.BusContext));
  EXPECT_FALSE(full.IsDeviceHighSpeed(full.BusContext));
  ULONG frame1 = 0, frame2 = 0;
  high.QueryBusTime(high.BusContext, &frame1);
  full.QueryBusTime(full.BusContext, &frame2);
  EXPECT_EQ(frame2 - frame1, winsim::usb::BusFrameBase(2) - winsim::usb::BusFrameBase(1));
  USB_BUS_INFORMATION_LEVEL_0 information{};
  ULONG length = sizeof information, actual = 0;
  ASSERT_EQ(full.QueryBusInformation(full.BusContext, 0, &information, &length, &actual), STATUS_SUCCESS);
  EXPECT_EQ(information.TotalBandwidth, 12000u);
  high.InterfaceDereference(high.BusContext);
  full.InterfaceDereference(full.BusContext);
}

}  // namespace
