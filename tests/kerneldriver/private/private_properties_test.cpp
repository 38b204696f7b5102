// The filter's private properties from user mode: rates and their overflow
// protocol, the rate change and its refusal while a pin is open, clock
// sources up to the first gap, class requests as they reach the device,
// read-only properties, and the set and id checks of the handlers.
#include <cstring>

#include "kerneldriver/ks/private/private_properties.h"
#include "private_client.h"

namespace privtest {
namespace {

using PrivateProperties = PrivateTest;

std::vector<uint32_t> ModelRates(const char *model) { return dstest::Model(model).clocks[0].rates; }

struct RatesCase {
  const char *name;
  size_t bufferBytes;  // the caller's value buffer
  NTSTATUS status;
  size_t entriesCopied;
  size_t bytesReturned;  // SIZE_MAX: the whole list's length
};

// Alder's clock lists four discrete rates (16 bytes).
const RatesCase kRatesCases[] = {
    {"size query", 0, STATUS_BUFFER_OVERFLOW, 0, SIZE_MAX},
    {"one entry", 4, STATUS_BUFFER_OVERFLOW, 1, 4},
    {"a partial entry", 6, STATUS_BUFFER_OVERFLOW, 1, 4},
    {"exact", 16, STATUS_SUCCESS, 4, 16},
    {"larger", 64, STATUS_SUCCESS, 4, 16},
};

TEST_F(PrivateProperties, SampleRatesFollowTheOverflowProtocolAndNeverReturnMoreThanTheBuffer) {
  Plug("Alder");
  auto client = Connect();
  ASSERT_TRUE(client);
  const std::vector<uint32_t> rates = ModelRates("Alder");
  ASSERT_EQ(rates.size(), 4u);
  for (const RatesCase &c : kRatesCases) {
    SCOPED_TRACE(c.name);
    CReply reply = client->Property(KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET,
                                    std::vector<uint8_t>(c.bufferBytes, 0xCD));
    EXPECT_TRUE(Ended(reply, c.status)) << reply.error;
    EXPECT_EQ(reply.bytes, c.bytesReturned == SIZE_MAX ? rates.size() * 4 : c.bytesReturned);
    for (size_t i = 0; i < c.entriesCopied; ++i) EXPECT_EQ(reply.U32(i), rates[i]);
    for (size_t i = c.entriesCopied * 4; i < reply.value.size(); ++i) ASSERT_EQ(reply.value[i], 0xCD) << i;
  }
}

TEST_F(PrivateProperties, RateChangeReachesTheClockAndIsRefusedWhileAPinIsOpen) {
  Plug("Alder");
  auto client = Connect();
  ASSERT_TRUE(client);
  HANDLE changed = client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_SAMPLE_RATE_CHANGED);
  ASSERT_NE(changed, nullptr);
  const uint8_t clock = dstest::Model("Alder").clocks[0].id;
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_SAMPLE_RATE).U32(), device->ClockRate(clock));
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE).U32(), 0u) << "no pin open";

  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_SAMPLE_RATE, 96000).ok);
  EXPECT_EQ(device->ClockRate(clock), 96000u);
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_SAMPLE_RATE).U32(), 96000u);
  EXPECT_TRUE(CPrivateClient::Signalled(changed));
  EXPECT_EQ(ReadDriverDword(u"SampleRate"), 96000u);

  // A pin of the device is open (counted the way pin creation counts it).
  ASSERT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 96000), STATUS_SUCCESS);
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE).U32(), 96000u);
  const size_t requests = bus->RequestCount();
  EXPECT_TRUE(Ended(client->SetU32(KSPROPERTY_UAC_SAMPLE_RATE, 48000), kStatusAudioPinsOpen));
  EXPECT_EQ(bus->RequestCount(), requests) << "nothing reaches the device";
  EXPECT_FALSE(CPrivateClient::Signalled(changed));
  UsbAudioDeviceCloseAudioPin(Context());
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE).U32(), 0u);
}

TEST_F(PrivateProperties, ClockSourcesAreListedUpToTheFirstGapAndSelectedByNumber) {
  Plug("Larch");
  auto client = Connect();
  ASSERT_TRUE(client);
  const auto &clocks = dstest::Model("Larch").clocks;
  ULONG listed = 0;
  for (ULONG index = 0; index <= UAC_MAX_CLOCK_SOURCES; ++index) {
    CReply reply = client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET,
                                    std::vector<uint8_t>(sizeof(ClockSourceInfo), 0xCD), IndexTail(index));
    if (index >= clocks.size()) {
      EXPECT_TRUE(Ended(reply, STATUS_NOT_FOUND)) << index;
      continue;
    }
    ASSERT_TRUE(reply.ok) << index << " " << reply.error;
    ASSERT_EQ(reply.bytes, sizeof(ClockSourceInfo));
    ClockSourceInfo info;
    std::memcpy(&info, reply.value.data(), sizeof(info));
    EXPECT_EQ(info.Number, index);
    EXPECT_EQ(info.ClockId, clocks[index].id);
    EXPECT_EQ(info.SelectorId, dstest::Model("Larch").selector->id);
    WCHAR name[UAC_CLOCK_NAME_CHARS];
    ClockSourceInfoGetName(info, name, UAC_CLOCK_NAME_CHARS);
    EXPECT_EQ(std::u16string(name), std::u16string(clocks[index].name.begin(), clocks[index].name.end()));
    ++listed;
  }
  EXPECT_EQ(listed, clocks.size());

  // Only a buffer of exactly one record is answered.
  EXPECT_TRUE(Ended(client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET,
                                     std::vector<uint8_t>(sizeof(ClockSourceInfo) + 4), IndexTail(0)),
                    STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET,
                                std::vector<uint8_t>(sizeof(ClockSourceInfo) - 1), IndexTail(0))
                   .ok);
  EXPECT_FALSE(client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET,
                                std::vector<uint8_t>(sizeof(ClockSourceInfo)))
                   .ok)
      << "the request without its index";

  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_CLOCK_SOURCE).U32(), device->SelectorInput() - 1u);
  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 2).ok);
  EXPECT_EQ(device->SelectorInput(), 3u);
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_CLOCK_SOURCE).U32(), 2u);
  const size_t requests = bus->RequestCount();
  for (uint32_t absent : {3u, 15u, 16u, 0xFFFFFFFFu}) {
    EXPECT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, absent).ok) << absent;
  }
  EXPECT_EQ(bus->RequestCount(), requests) << "an absent source sends nothing";
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_CLOCK_SOURCE).U32(), 2u);
}

TEST_F(PrivateProperties, SelectingAnotherClockListsThatClocksRates) {
  ASSERT_NO_FATAL_FAILURE(PlugLarchWithHighRateThirdClock());
  auto client = Connect();
  ASSERT_TRUE(client);
  const auto rates = [&client] {
    CReply reply = client->Property(KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(64));
    EXPECT_TRUE(reply.ok) << reply.error;
    std::vector<uint32_t> listed;
    for (size_t i = 0; i < reply.bytes / 4; ++i) listed.push_back(reply.U32(i));
    return listed;
  };
  const std::vector<uint32_t> before = rates();
  ASSERT_FALSE(before.empty());
  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 2).ok);
  EXPECT_EQ(rates(), (std::vector<uint32_t>{88200, 176400}));
  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_CLOCK_SOURCE, 9).ok) << "an absent source";
  EXPECT_EQ(rates(), (std::vector<uint32_t>{88200, 176400})) << "changes nothing";
}

// What a class request looks like on the bus.
struct ClassRequestCase {
  const char *name;
  ULONG flags;
  uint8_t request;
  size_t valueBytes;
  uint8_t bmRequestType;
};

const ClassRequestCase kClassRequestCases[] = {
    {"get CUR", KSPROPERTY_TYPE_GET, 0x01, 4, 0xA1},
    {"get CUR into a longer buffer", KSPROPERTY_TYPE_GET, 0x01, 8, 0xA1},
    {"get RANGE", KSPROPERTY_TYPE_GET, 0x02, 14, 0xA1},
    {"set CUR", KSPROPERTY_TYPE_SET, 0x01, 4, 0x21},
};

TEST_F(PrivateProperties, ClassRequestsReachTheDeviceAsTheClientFramedThem) {
  Plug("Alder");
  auto client = Connect();
  ASSERT_TRUE(client);
  const uint8_t clock = dstest::Model("Alder").clocks[0].id;
  const uint8_t interfaceNumber = Ctx().audioControl->controlInterface->interfaceNumber;
  for (const ClassRequestCase &c : kClassRequestCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> value(c.valueBytes, 0xCD);
    if (c.flags == KSPROPERTY_TYPE_SET) value = Le32(44100);
    const size_t before = bus->RequestCount();
    CReply reply = client->Property(KSPROPERTY_UAC_CLASS_REQUEST, c.flags, value,
                                    Bytes({clock, c.request, 0x01, 0x00, 0, 0, 0, 0}));
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.bytes, c.valueBytes);
    std::vector<dstest::RecordedRequest> requests = bus->Requests();
    ASSERT_EQ(requests.size(), before + 1);
    const auto &setup = requests.back().setup;
    EXPECT_EQ(setup.bmRequestType, c.bmRequestType);
    EXPECT_EQ(setup.bRequest, c.request);
    EXPECT_EQ(setup.wValue, 0x0100);
    EXPECT_EQ(setup.wIndex, (clock << 8) | interfaceNumber);
    EXPECT_EQ(setup.wLength, c.valueBytes);
    if (c.flags == KSPROPERTY_TYPE_SET) {
      EXPECT_EQ(device->ClockRate(clock), 44100u);
    } else if (c.request == 0x01) {
      EXPECT_EQ(reply.U32(), device->ClockRate(clock));
      // What the device did not send reads as zeros, not as the caller's bytes.
      for (size_t i = 4; i < reply.value.size(); ++i) EXPECT_EQ(reply.value[i], 0) << i;
    }
  }
}

TEST_F(PrivateProperties, ClassRequestFailuresCarryTheirStatus) {
  Plug("Alder", [](winsim::devices::FaultKnobs &) {});
  auto client = Connect();
  ASSERT_TRUE(client);
  const uint8_t clock = dstest::Model("Alder").clocks[0].id;
  const std::vector<uint8_t> fields = Bytes({clock, 0x01, 0x01, 0x00, 0, 0, 0, 0});

  device->EditFaults([&](winsim::devices::FaultKnobs &knobs) {
    knobs.neverFinishWhen = winsim::devices::MatchEntityControl(clock, 0x01);
  });
  const uint64_t start = machine.Now();
  CReply timedOut = client->Property(KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(4),
                                     fields);
  EXPECT_TRUE(Ended(timedOut, STATUS_IO_TIMEOUT)) << timedOut.error;
  EXPECT_GE(machine.Now() - start, 3 * winsim::kTicksPerSecond) << "the request waits its three seconds";
  EXPECT_EQ(timedOut.bytes, 0u);

  device->EditFaults([&](winsim::devices::FaultKnobs &knobs) {
    knobs.neverFinishWhen = nullptr;
    knobs.stallWhen = winsim::devices::MatchEntityControl(clock, 0x01);
  });
  CReply stalled = client->Property(KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_SET, Le32(48000), fields);
  EXPECT_FALSE(stalled.ok);
  EXPECT_NE(stalled.error, ErrorFor(STATUS_IO_TIMEOUT));

  // The data stage of a control transfer is at most 65535 bytes.
  const size_t before = bus->RequestCount();
  EXPECT_TRUE(Ended(client->Property(KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_GET,
                                     std::vector<uint8_t>(0x10000), fields),
                    STATUS_INVALID_PARAMETER));
  EXPECT_EQ(bus->RequestCount(), before);
}

TEST_F(PrivateProperties, ReadOnlyPropertiesAnswerAndRefuseSets) {
  Plug("Larch");
  auto client = Connect();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_PRODUCT_ID).U32(), dstest::Model("Larch").productId);
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_MIN_URB_SIZE).U32(), Ctx().minUrbSize);
  CReply clients = client->GetU32(KSPROPERTY_UAC_RENDER_CLIENTS);
  EXPECT_TRUE(clients.ok);
  EXPECT_EQ(clients.bytes, 0u) << "no render stream runs";

  // Ids 1, 11 and 40 refuse sets themselves; 2, 60 and 70 take none.
  for (ULONG id : {KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE, KSPROPERTY_UAC_MIN_URB_SIZE}) {
    EXPECT_TRUE(Ended(client->SetU32(id, 1), STATUS_INVALID_PARAMETER)) << id;
  }
  EXPECT_TRUE(Ended(client->Property(KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_SET,
                                     std::vector<uint8_t>(sizeof(ClockSourceInfo)), IndexTail(0)),
                    STATUS_INVALID_PARAMETER));
  for (ULONG id : {KSPROPERTY_UAC_SAMPLE_RATES, KSPROPERTY_UAC_RENDER_CLIENTS, KSPROPERTY_UAC_PRODUCT_ID}) {
    EXPECT_FALSE(client->SetU32(id, 1).ok) << id;
  }
  EXPECT_EQ(client->GetU32(KSPROPERTY_UAC_PRODUCT_ID).U32(), dstest::Model("Larch").productId);
  for (ULONG id : {4u, 30u, 50u, 71u}) EXPECT_FALSE(client->GetU32(id).ok) << "not a filter property: " << id;
  // Every u32 value needs its four bytes.
  EXPECT_FALSE(client->Property(KSPROPERTY_UAC_URB_SIZE, KSPROPERTY_TYPE_SET, Bytes({1, 0, 0})).ok);
}

// The handlers' own checks, for requests ks.sys would not route to them:
// another set, an id beyond the set, and no filter behind the request.
TEST_F(PrivateProperties, HandlersCheckSetIdAndFilterThemselves) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(KSPROPERTY);
  stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
  ULONG value = 0;
  struct Case {
    GUID set;
    ULONG id;
    NTSTATUS status;
  };
  const Case cases[] = {
      {KSPROPSETID_Pin, KSPROPERTY_UAC_URB_SIZE, STATUS_NOT_IMPLEMENTED},
      {KSPROPSETID_UacPrivate, KSPROPERTY_UAC_LAST + 1, STATUS_INVALID_PARAMETER},
      {KSPROPSETID_UacPrivate, KSPROPERTY_UAC_URB_SIZE, STATUS_INVALID_PARAMETER},  // no filter
  };
  for (const Case &c : cases) {
    KSPROPERTY request{c.set, c.id, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(PrivatePropertyGet(irp, &request, &value), c.status) << c.id;
    EXPECT_EQ(PrivatePropertySet(irp, &request, &value), c.status) << c.id;
    EXPECT_EQ(irp->IoStatus.Information, 0u);
  }
  KSMETHOD method{KSPROPSETID_UacPrivate, KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_WRITE};
  EXPECT_EQ(PrivateMethod(irp, &method, &value), STATUS_NOT_IMPLEMENTED);
  method.Set = KSMETHODSETID_UacUsb;
  method.Id = 3;
  EXPECT_EQ(PrivateMethod(irp, &method, &value), STATUS_INVALID_PARAMETER);
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace privtest
