// Property requests on a filter: the minidriver's table first, then the
// sets answered from the descriptors; unknown sets and ids, short requests
// and short data answered as ks.sys does; a handler never sees more than the
// caller gave.
#include <cstring>

#include "ks_pin_support.h"

using namespace kstest;

namespace {

struct Case {
  const char *name;
  const GUID *set;
  ULONG id;
  ULONG flags;
  ULONG requestBytes;  // bytes of the request actually sent
  ULONG dataBytes;
  NTSTATUS status;
  ULONG_PTR information;
};

class PropertyRequests : public PinTest, public ::testing::WithParamInterface<Case> {};

TEST_P(PropertyRequests, AreAnsweredAsKsDoes) {
  const Case &c = GetParam();
  KSP_PIN request{};
  request.Property.Set = *c.set;
  request.Property.Id = c.id;
  request.Property.Flags = c.flags;
  request.PinId = 9;  // no such pin
  UCHAR data[64] = {};
  Result result = Control(filter, IOCTL_KS_PROPERTY, &request, c.requestBytes, c.dataBytes ? data : nullptr,
                          c.dataBytes);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.information, c.information);
}

const GUID kUnknownSet = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

INSTANTIATE_TEST_SUITE_P(
    Filter, PropertyRequests,
    ::testing::Values(
        Case{"GetOfTheDriversItemReturnsItsValue", &kPinTestSet, 0, KSPROPERTY_TYPE_GET, 24, 4, STATUS_SUCCESS, 4},
        Case{"UnknownSetIsNotFound", &kUnknownSet, 0, KSPROPERTY_TYPE_GET, 24, 4, STATUS_NOT_FOUND, 0},
        Case{"UnknownIdOfAKnownSetIsNotFound", &kPinTestSet, 9, KSPROPERTY_TYPE_GET, 24, 4, STATUS_NOT_FOUND, 0},
        Case{"RequestShorterThanKsPropertyIsRefused", &kPinTestSet, 0, KSPROPERTY_TYPE_GET, 20, 4,
             STATUS_INVALID_BUFFER_SIZE, 0},
        Case{"RequestShorterThanTheItemsMinimumIsRefused", &kPinTestSet, 1, KSPROPERTY_TYPE_GET, 24, 4,
             STATUS_INVALID_BUFFER_SIZE, 0},
        Case{"ZeroLengthDataAsksForTheSize", &kPinTestSet, 0, KSPROPERTY_TYPE_GET, 24, 0, STATUS_BUFFER_OVERFLOW, 4},
        Case{"ShortDataIsTooSmall", &kPinTestSet, 0, KSPROPERTY_TYPE_GET, 24, 2, STATUS_BUFFER_TOO_SMALL, 0},
        Case{"SetSupportOfAKnownSetSucceeds", &kPinTestSet, 0, KSPROPERTY_TYPE_SETSUPPORT, 24, 0, STATUS_SUCCESS, 0},
        Case{"SetSupportOfAnUnknownSetIsNotFound", &kUnknownSet, 0, KSPROPERTY_TYPE_SETSUPPORT, 24, 0,
             STATUS_NOT_FOUND, 0},
        Case{"BasicSupportInFourBytesGivesTheAccessFlags", &kPinTestSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, 24, 4,
             STATUS_SUCCESS, 4},
        Case{"BasicSupportWithRoomGivesTheDescription", &kPinTestSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, 24, 40,
             STATUS_SUCCESS, sizeof(KSPROPERTY_DESCRIPTION)},
        Case{"PinCountComesFromTheDescriptor", &KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, 24, 4,
             STATUS_SUCCESS, 4},
        Case{"PinPropertyOfAPinThatDoesNotExistIsRefused", &KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW,
             KSPROPERTY_TYPE_GET, 32, 4, STATUS_INVALID_PARAMETER, 0},
        Case{"SetOfAReadOnlyStandardPropertyIsNotFound", &KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
             KSPROPERTY_TYPE_SET, 24, 4, STATUS_NOT_FOUND, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PinTest, BasicSupportReportsGetAndSetOfTheDriversItem) {
  ULONG access = 0;
  Property(filter, kPinTestSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, &access, sizeof(access));
  EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
}

TEST_F(PinTest, PinNameGoesToTheDriversHandlerOtherPinPropertiesToTheDescriptor) {
  KSP_PIN request{};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = 1;
  request.Property.Id = KSPROPERTY_PIN_NAME;
  UCHAR name[16];
  EXPECT_EQ(Control(filter, IOCTL_KS_PROPERTY, &request, sizeof(request), name, sizeof(name)).status, STATUS_SUCCESS);
  request.Property.Id = KSPROPERTY_PIN_DATAFLOW;
  ULONG flow = 0;
  EXPECT_EQ(Control(filter, IOCTL_KS_PROPERTY, &request, sizeof(request), &flow, sizeof(flow)).status, STATUS_SUCCESS);
  EXPECT_EQ(flow, ULONG(KSPIN_DATAFLOW_OUT));
  EXPECT_EQ(PinLog(), std::vector<std::string>{"Name 1"});
}

// Data ranges: size query, header only, then the list.
TEST_F(PinTest, DataRangesFollowTheMultipleItemSizeProtocol) {
  ULONG pinId[2] = {0, 0};  // KSP_PIN.PinId and Reserved
  Result size = Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, nullptr, 0, pinId,
                         8);
  EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.information, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE));
  KSMULTIPLE_ITEM header{};
  Result only = Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, &header,
                         sizeof(header), pinId, 8);
  EXPECT_EQ(only.status, STATUS_SUCCESS);
  EXPECT_EQ(header.Count, 1u);
  EXPECT_EQ(header.Size, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE));
  UCHAR shortList[40];
  EXPECT_EQ(Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, shortList,
                     sizeof(shortList), pinId, 8)
                .status,
            STATUS_BUFFER_TOO_SMALL);
  UCHAR list[sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE)];
  EXPECT_EQ(Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, list, sizeof(list),
                     pinId, 8)
                .status,
            STATUS_SUCCESS);
  KSDATARANGE range;
  std::memcpy(&range, list + sizeof(KSMULTIPLE_ITEM), sizeof(range));
  EXPECT_EQ(range.SubFormat, kPinTestFormat);
}

TEST_F(PinTest, DataIntersectionGoesThroughThePinsHandler) {
  struct {
    ULONG pinId = 1, reserved = 0;
    KSMULTIPLE_ITEM list{sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE), 1};
    KSDATARANGE range{};
  } extra;
  extra.range.FormatSize = sizeof(KSDATARANGE);
  extra.range.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  extra.range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  Result size = Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, nullptr, 0,
                         &extra, sizeof(extra));
  EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.information, sizeof(KSDATAFORMAT));
  KSDATAFORMAT format{};
  Result answer = Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, &format,
                           sizeof(format), &extra, sizeof(extra));
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(format.MajorFormat, KSDATAFORMAT_TYPE_STREAM);
  extra.range.MajorFormat = kPinTestSet;  // nothing of the pin's
  EXPECT_EQ(Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, &format,
                     sizeof(format), &extra, sizeof(extra))
                .status,
            STATUS_NO_MATCH);
  EXPECT_EQ(PinLog(), (std::vector<std::string>{"Intersect 1", "Intersect 1"}));
}

TEST_F(PinTest, TopologyListsTheDescriptorsCategoriesNodesAndConnections) {
  UCHAR buffer[256];
  Result categories =
      Property(filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, KSPROPERTY_TYPE_GET, buffer, 256);
  EXPECT_EQ(categories.information, sizeof(KSMULTIPLE_ITEM) + 4 * sizeof(GUID));
  Result nodes = Property(filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET, buffer, 256);
  EXPECT_EQ(nodes.information, sizeof(KSMULTIPLE_ITEM) + sizeof(GUID));
  Result connections =
      Property(filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, KSPROPERTY_TYPE_GET, buffer, 256);
  EXPECT_EQ(connections.information, sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSTOPOLOGY_CONNECTION));
}

// The driver's handlers run without the filter's control mutex, so one
// that takes the device mutex keeps the order device -> control.
TEST_F(PinTest, ADriversPropertyHandlerMayTakeTheDeviceMutex) {
  static PKSDEVICE device;
  device = KsFilterGetDevice(filter);
  Pins().getValue = [](PVOID data, ULONG) {
    KsAcquireDevice(device);
    *static_cast<ULONG *>(data) = 7;
    KsReleaseDevice(device);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(0), &pin).status, STATUS_SUCCESS);
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE).status, STATUS_SUCCESS);  // device -> control seen
  ULONG value = 0;
  EXPECT_EQ(Property(filter, kPinTestSet, 0, KSPROPERTY_TYPE_GET, &value, sizeof(value)).status, STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
}

struct MethodCase {
  const char *name;
  ULONG id;
  ULONG flags;
  ULONG dataBytes;
  NTSTATUS status;
  ULONG answer;  // what the caller's value became
};

class MethodRequests : public PinTest, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(MethodRequests, GoThroughTheMethodTable) {
  const MethodCase &c = GetParam();
  KSMETHOD request{};
  request.Set = kPinTestSet;
  request.Id = c.id;
  request.Flags = c.flags;
  ULONG value = 21;
  EXPECT_EQ(Control(filter, IOCTL_KS_METHOD, &request, sizeof(request), &value, c.dataBytes).status, c.status);
  EXPECT_EQ(value, c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, MethodRequests,
    ::testing::Values(MethodCase{"AModifyMethodChangesTheCallersData", 0, KSMETHOD_TYPE_MODIFY, 4, STATUS_SUCCESS, 42},
                      MethodCase{"AnUnknownMethodIsNotFound", 3, KSMETHOD_TYPE_MODIFY, 4, STATUS_NOT_FOUND, 21},
                      MethodCase{"ShortDataIsTooSmall", 0, KSMETHOD_TYPE_MODIFY, 2, STATUS_BUFFER_TOO_SMALL, 21},
                      MethodCase{"SetSupportOfTheSetSucceeds", 0, KSMETHOD_TYPE_SETSUPPORT, 0, STATUS_SUCCESS, 21}),
    [](const auto &info) { return std::string(info.param.name); });

// A warning carries data like a success: the part of a list that fit comes
// back with STATUS_BUFFER_OVERFLOW, as the I/O manager copies buffered output
// for every status that is not an error.
TEST_F(PinTest, AWarningCopiesBackWhatTheHandlerReturned) {
  Pins().getValue = [](PVOID data, ULONG size) {
    *static_cast<ULONG *>(data) = 44100;
    (void)size;
    return STATUS_BUFFER_OVERFLOW;
  };
  ULONG value = 0;
  Result result = Property(filter, kPinTestSet, 0, KSPROPERTY_TYPE_GET, &value, sizeof(value));
  EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result.information, sizeof(ULONG));
  EXPECT_EQ(value, 44100u);
}

// A handler that reports more bytes than the caller's value buffer holds
// would have the I/O manager copy past the caller's buffer.
TEST_F(PinTest, HandlerReturningMoreThanTheValueBufferStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pins().getValue = [](PVOID data, ULONG size) {
    if (size >= sizeof(ULONG)) *static_cast<ULONG *>(data) = 44100;
    return STATUS_BUFFER_OVERFLOW;
  };
  Pins().getInformation = 2 * sizeof(ULONG);
  ULONG value = 0;
  EXPECT_DEATH(Property(filter, kPinTestSet, 0, KSPROPERTY_TYPE_GET, &value, sizeof(value)),
               "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*Information 8, more than its 4-byte value buffer");
}

#if defined(__SANITIZE_ADDRESS__)
// A handler reading eight bytes where the caller gave four reads past the
// captured copy: the sanitizer stops it.
TEST_F(PinTest, HandlerReadingPastTheCallersDataIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pins().getValue = [](PVOID data, ULONG) {
    volatile ULONGLONG wide = *static_cast<volatile ULONGLONG *>(data);
    (void)wide;
    return STATUS_SUCCESS;
  };
  KSPROPERTY request{};
  request.Set = kPinTestSet;
  request.Id = 1;
  request.Flags = KSPROPERTY_TYPE_GET;
  KSP_PIN pinRequest{request, 0, 0};
  ULONGLONG data = 0;
  EXPECT_DEATH(Control(filter, IOCTL_KS_PROPERTY, &pinRequest, sizeof(pinRequest), &data, 4), "heap-buffer-overflow");
}
#endif

}  // namespace
