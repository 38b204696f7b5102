// The USB method set from user mode: descriptor reads (the cached
// configuration with its size query, strings and other descriptors from the
// device) and raw control transfers on the default pipe. The data stage is
// the caller's buffer, never more.
#include <cstring>

#include "private_client.h"

namespace privtest {
namespace {

using PrivateMethods = PrivateTest;

std::vector<uint8_t> DescriptorTail(uint8_t type, uint8_t index, uint16_t language) {
  return {type, index, static_cast<uint8_t>(language), static_cast<uint8_t>(language >> 8), 0, 0, 0, 0};
}

std::vector<uint8_t> TransferTail(uint32_t reserved, uint32_t flags, std::initializer_list<uint8_t> setup) {
  std::vector<uint8_t> tail = Le32(reserved);
  for (uint8_t b : Le32(flags)) tail.push_back(b);
  tail.insert(tail.end(), setup.begin(), setup.end());
  return tail;
}

struct ConfigurationCase {
  const char *name;
  size_t bufferBytes;  // SIZE_MAX: exactly wTotalLength
  NTSTATUS status;
  size_t bytesReturned;  // SIZE_MAX: wTotalLength
};

const ConfigurationCase kConfigurationCases[] = {
    {"size query", 0, STATUS_BUFFER_OVERFLOW, SIZE_MAX},
    {"the header only", 9, STATUS_BUFFER_OVERFLOW, 9},
    {"exact", SIZE_MAX, STATUS_SUCCESS, SIZE_MAX},
    {"the client's 4096 bytes", 4096, STATUS_SUCCESS, SIZE_MAX},
};

TEST_F(PrivateMethods, ConfigurationDescriptorComesFromTheCacheWithItsSizeQuery) {
  Plug("Larch");
  auto client = Connect();
  ASSERT_TRUE(client);
  const UsbDeviceConfig &config = Ctx().config;
  const std::vector<uint8_t> cached(config.configDescriptor, config.configDescriptor + config.configLength);
  ASSERT_EQ(cached[2] | (cached[3] << 8), config.configLength);
  const size_t requests = bus->RequestCount();
  for (const ConfigurationCase &c : kConfigurationCases) {
    SCOPED_TRACE(c.name);
    const size_t size = c.bufferBytes == SIZE_MAX ? cached.size() : c.bufferBytes;
    CReply reply = client->Method(KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND, DescriptorTail(2, 1, 0),
                                  std::vector<uint8_t>(size, 0xCD));
    EXPECT_TRUE(Ended(reply, c.status)) << reply.error;
    const size_t expected = c.bytesReturned == SIZE_MAX ? cached.size() : c.bytesReturned;
    EXPECT_EQ(reply.bytes, expected);
    const size_t copied = std::min(size, cached.size());
    EXPECT_TRUE(std::equal(cached.begin(), cached.begin() + copied, reply.value.begin()));
  }
  EXPECT_EQ(bus->RequestCount(), requests) << "served from the cache";
}

TEST_F(PrivateMethods, OtherDescriptorsAreReadFromTheDeviceIntoTheWholeBuffer) {
  Plug("Alder");
  auto client = Connect();
  ASSERT_TRUE(client);
  CReply device = client->Method(KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND, DescriptorTail(1, 0, 0),
                                 std::vector<uint8_t>(18));
  ASSERT_TRUE(device.ok) << device.error;
  EXPECT_EQ(device.bytes, 18u);
  EXPECT_EQ(device.value[0], 18);
  EXPECT_EQ(device.value[1], 1);
  EXPECT_EQ(device.value[10] | (device.value[11] << 8), dstest::Model("Alder").productId);

  const uint8_t iProduct = Ctx().config.deviceDescriptor.iProduct;
  ASSERT_NE(iProduct, 0);
  CReply name = client->Method(KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND, DescriptorTail(3, iProduct, 0x0409),
                               std::vector<uint8_t>(68, 0xCD));
  ASSERT_TRUE(name.ok) << name.error;
  EXPECT_EQ(name.bytes, 68u);
  const std::string product = dstest::Model("Alder").product;
  ASSERT_EQ(name.value[0], 2 + 2 * product.size());
  EXPECT_EQ(name.value[1], 3);
  for (size_t i = 0; i < product.size(); ++i) EXPECT_EQ(name.value[2 + 2 * i], product[i]) << i;
  // Past what the device sent: zeros, not the caller's bytes.
  for (size_t i = name.value[0]; i < name.value.size(); ++i) EXPECT_EQ(name.value[i], 0) << i;

  EXPECT_TRUE(Ended(client->Method(KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND, DescriptorTail(1, 0, 0),
                                   std::vector<uint8_t>(0x10000)),
                    STATUS_INVALID_PARAMETER));
}

TEST_F(PrivateMethods, ControlTransfersNeedTheDefaultPipeFlagAndMoveTheCallersBuffer) {
  Plug("Alder");
  auto client = Connect();
  ASSERT_TRUE(client);
  const size_t requests = bus->RequestCount();
  const std::initializer_list<uint8_t> getDevice = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
  EXPECT_TRUE(Ended(client->Method(KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY,
                                   TransferTail(0, UAC_TRANSFER_DIRECTION_IN, getDevice), std::vector<uint8_t>(18)),
                    STATUS_NOT_SUPPORTED));
  EXPECT_TRUE(Ended(client->Method(KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY,
                                   TransferTail(1, UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE, getDevice),
                                   std::vector<uint8_t>(18)),
                    STATUS_NOT_SUPPORTED));
  EXPECT_EQ(bus->RequestCount(), requests) << "refused before the bus";

  // In: the returned length is what the device sent.
  CReply in = client->Method(KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY,
                             TransferTail(0, UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE, getDevice),
                             std::vector<uint8_t>(64, 0xCD));
  ASSERT_TRUE(in.ok) << in.error;
  EXPECT_EQ(in.bytes, 18u);
  EXPECT_EQ(in.value[0], 18);
  EXPECT_EQ(bus->Requests().back().setup.wLength, 64) << "the data stage is the caller's buffer";

  // Out: a class request as the client framed it.
  const uint8_t clock = dstest::Model("Alder").clocks[0].id;
  const uint8_t interfaceNumber = Ctx().audioControl->controlInterface->interfaceNumber;
  CReply out = client->Method(
      KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY,
      TransferTail(0, UAC_TRANSFER_DEFAULT_PIPE, {0x21, 0x01, 0x00, 0x01, interfaceNumber, clock, 0x04, 0x00}),
      Le32(88200));
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.bytes, 0u);
  EXPECT_EQ(device->ClockRate(clock), 88200u);
  EXPECT_EQ(bus->Requests().back().outData, Le32(88200));

  EXPECT_TRUE(Ended(client->Method(KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY,
                                   TransferTail(0, UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE, getDevice),
                                   std::vector<uint8_t>(0x10000)),
                    STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(client->Method(KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY, Le32(0), {}).ok)
      << "a request without its setup packet";
}

}  // namespace
}  // namespace privtest
