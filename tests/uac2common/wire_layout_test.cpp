// The private requests and records as bytes: each test writes the image a
// peer produces (little-endian, field by field, as it crosses DeviceIoControl)
// and checks that our structures read it, and write it, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "uac2common/uac2private.h"
#include "uac2common/wstr.h"
#include "usb_chapter9.h"

namespace {

using Bytes = std::vector<uint8_t>;

class WireImage {
 public:
  WireImage &U8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  WireImage &U16(uint16_t v) { return U8(v & 0xff).U8(v >> 8); }
  WireImage &U32(uint32_t v) { return U16(v & 0xffff).U16(v >> 16); }
  WireImage &Raw(std::initializer_list<uint8_t> v) {
    bytes_.insert(bytes_.end(), v);
    return *this;
  }
  WireImage &Guid(const GUID &g) {
    U32(g.Data1).U16(g.Data2).U16(g.Data3);
    for (uint8_t b : g.Data4) U8(b);
    return *this;
  }
  // KSPROPERTY / KSMETHOD / KSEVENT: Set, Id, Flags.
  WireImage &Identifier(const GUID &set, uint32_t id, uint32_t flags) { return Guid(set).U32(id).U32(flags); }
  WireImage &Utf16Padded(const char16_t *text, size_t units) {
    size_t i = 0;
    for (; text[i] != 0; ++i) U16(text[i]);
    for (; i < units; ++i) U16(0);
    return *this;
  }
  const Bytes &bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

template <class T>
T Decode(const Bytes &image) {
  EXPECT_EQ(image.size(), sizeof(T));
  T value;
  std::memcpy(&value, image.data(), sizeof(T));
  return value;
}

template <class T>
Bytes Encode(const T &value) {
  Bytes out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

KSIDENTIFIER MakeIdentifier(const GUID &set, ULONG id, ULONG flags) {
  KSIDENTIFIER ident{};
  ident.Set = set;
  ident.Id = id;
  ident.Flags = flags;
  return ident;
}

struct PropertyIdCase {
  uint32_t wireId;
  KSPROPERTY_UAC id;
};

void PrintTo(const PropertyIdCase &c, std::ostream *os) { *os << "id " << c.wireId; }

class PlainPropertyRequest : public testing::TestWithParam<PropertyIdCase> {};

TEST_P(PlainPropertyRequest, DecodesTheIdAClientSendsToTheNamedProperty) {
  Bytes image = WireImage().Identifier(KSPROPSETID_UacPrivate, GetParam().wireId, KSPROPERTY_TYPE_GET).bytes();
  KSPROPERTY request = Decode<KSPROPERTY>(image);
  EXPECT_TRUE(IsEqualGUID(request.Set, KSPROPSETID_UacPrivate));
  EXPECT_EQ(request.Id, static_cast<ULONG>(GetParam().id));
  EXPECT_EQ(request.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
}

INSTANTIATE_TEST_SUITE_P(
    EveryPrivateProperty, PlainPropertyRequest,
    testing::Values(PropertyIdCase{0, KSPROPERTY_UAC_URB_SIZE}, PropertyIdCase{1, KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE},
                    PropertyIdCase{2, KSPROPERTY_UAC_SAMPLE_RATES}, PropertyIdCase{3, KSPROPERTY_UAC_SAMPLE_RATE},
                    PropertyIdCase{10, KSPROPERTY_UAC_CLOCK_SOURCE},
                    PropertyIdCase{11, KSPROPERTY_UAC_CLOCK_SOURCE_INFO},
                    PropertyIdCase{20, KSPROPERTY_UAC_CLASS_REQUEST}, PropertyIdCase{30, KSPROPERTY_UAC_CHANNEL_NAME},
                    PropertyIdCase{40, KSPROPERTY_UAC_MIN_URB_SIZE}, PropertyIdCase{50, KSPROPERTY_UAC_URB_TIMING},
                    PropertyIdCase{60, KSPROPERTY_UAC_RENDER_CLIENTS}, PropertyIdCase{70, KSPROPERTY_UAC_PRODUCT_ID}));

TEST(PrivateRequests, IndexedPropertyCarriesTheIndexAfterTheHeader) {
  Bytes image = WireImage()
                    .Identifier(KSPROPSETID_UacPrivate, 11, KSPROPERTY_TYPE_GET)
                    .U32(15)
                    .U32(0)
                    .bytes();
  KSP_UAC_INDEX request = Decode<KSP_UAC_INDEX>(image);
  EXPECT_EQ(request.Property.Id, static_cast<ULONG>(KSPROPERTY_UAC_CLOCK_SOURCE_INFO));
  EXPECT_EQ(request.Index, 15u);

  KSP_UAC_INDEX built{};
  built.Property = MakeIdentifier(KSPROPSETID_UacPrivate, KSPROPERTY_UAC_CLOCK_SOURCE_INFO, KSPROPERTY_TYPE_GET);
  built.Index = 15;
  EXPECT_EQ(Encode(built), image);
}

TEST(PrivateRequests, ClassRequestPropertyCarriesEntityRequestSelectorAndChannelBytes) {
  // SET CUR of clock 0x29's sampling-frequency control, master channel.
  Bytes image = WireImage()
                    .Identifier(KSPROPSETID_UacPrivate, 20, KSPROPERTY_TYPE_SET)
                    .Raw({0x29, 0x01, 0x01, 0x00})
                    .U32(0)
                    .bytes();
  KSP_UAC_CLASS_REQUEST request = Decode<KSP_UAC_CLASS_REQUEST>(image);
  EXPECT_EQ(request.Property.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
  EXPECT_EQ(request.EntityId, 0x29);
  EXPECT_EQ(request.Request, 0x01);
  EXPECT_EQ(request.ControlSelector, 0x01);
  EXPECT_EQ(request.Channel, 0x00);

  KSP_UAC_CLASS_REQUEST built{};
  built.Property = MakeIdentifier(KSPROPSETID_UacPrivate, KSPROPERTY_UAC_CLASS_REQUEST, KSPROPERTY_TYPE_SET);
  built.EntityId = 0x29;
  built.Request = 0x01;
  built.ControlSelector = 0x01;
  EXPECT_EQ(Encode(built), image);
}

TEST(PrivateRequests, DescriptorMethodCarriesTypeIndexAndLittleEndianLanguage) {
  Bytes image = WireImage()
                    .Identifier(KSMETHODSETID_UacUsb, 1, KSMETHOD_TYPE_SEND)
                    .U8(USB_STRING_DESCRIPTOR_TYPE)
                    .U8(4)
                    .U16(0x0409)
                    .U32(0)
                    .bytes();
  KSM_UAC_DESCRIPTOR request = Decode<KSM_UAC_DESCRIPTOR>(image);
  EXPECT_TRUE(IsEqualGUID(request.Method.Set, KSMETHODSETID_UacUsb));
  EXPECT_EQ(request.Method.Id, static_cast<ULONG>(KSMETHOD_UAC_GET_DESCRIPTOR));
  EXPECT_EQ(request.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(request.DescriptorIndex, 4);
  EXPECT_EQ(request.LanguageId, 0x0409);

  KSM_UAC_DESCRIPTOR built{};
  built.Method = MakeIdentifier(KSMETHODSETID_UacUsb, KSMETHOD_UAC_GET_DESCRIPTOR, KSMETHOD_TYPE_SEND);
  built.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
  built.DescriptorIndex = 4;
  built.LanguageId = 0x0409;
  EXPECT_EQ(Encode(built), image);
}

TEST(PrivateRequests, ControlTransferMethodCarriesFlagsAndTheSetupPacketAsSentOnTheBus) {
  // GET CUR, sampling frequency of clock 0x0A: class, interface, device-to-host, 4 bytes.
  const uint8_t setup[8] = {0xA1, 0x01, 0x00, 0x01, 0x00, 0x0A, 0x04, 0x00};
  WireImage writer;
  writer.Identifier(KSMETHODSETID_UacUsb, 2, KSMETHOD_TYPE_MODIFY).U32(0).U32(0x9);
  for (uint8_t b : setup) writer.U8(b);
  const Bytes &image = writer.bytes();

  KSM_UAC_CONTROL_TRANSFER request = Decode<KSM_UAC_CONTROL_TRANSFER>(image);
  EXPECT_EQ(request.Method.Id, static_cast<ULONG>(KSMETHOD_UAC_CONTROL_TRANSFER));
  EXPECT_EQ(request.Reserved, 0u);
  EXPECT_EQ(request.TransferFlags, UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE);
  USB_DEFAULT_PIPE_SETUP_PACKET packet;
  std::memcpy(&packet, request.SetupPacket, sizeof(packet));
  EXPECT_EQ(packet.bmRequestType.B, 0xA1);
  EXPECT_EQ(packet.bmRequestType.Dir, BMREQUEST_DEVICE_TO_HOST);
  EXPECT_EQ(packet.bmRequestType.Type, BMREQUEST_CLASS);
  EXPECT_EQ(packet.bmRequestType.Recipient, BMREQUEST_TO_INTERFACE);
  EXPECT_EQ(packet.bRequest, 0x01);
  EXPECT_EQ(packet.wValue.W, 0x0100);
  EXPECT_EQ(packet.wIndex.W, 0x0A00);
  EXPECT_EQ(packet.wLength, 4);

  KSM_UAC_CONTROL_TRANSFER built{};
  built.Method = MakeIdentifier(KSMETHODSETID_UacUsb, KSMETHOD_UAC_CONTROL_TRANSFER, KSMETHOD_TYPE_MODIFY);
  built.TransferFlags = UAC_TRANSFER_DIRECTION_IN | UAC_TRANSFER_DEFAULT_PIPE;
  std::memcpy(built.SetupPacket, setup, sizeof(setup));
  EXPECT_EQ(Encode(built), image);
}

TEST(PrivateRecords, ClockSourceInfoReadsAndWritesTheDocumentedByteImage) {
  Bytes image = WireImage()
                    .U32(2)
                    .Utf16Padded(u"Word Clock", UAC_CLOCK_NAME_CHARS)
                    .U8(0x0B)
                    .U8(0x0C)
                    .Raw({0, 0})
                    .U32(UAC_CLOCK_TYPE_INTERNAL_VARIABLE | UAC_CLOCK_VALID)
                    .bytes();
  ClockSourceInfo info = Decode<ClockSourceInfo>(image);
  EXPECT_EQ(info.Number, 2u);
  WCHAR name[UAC_CLOCK_NAME_CHARS];
  EXPECT_EQ(ClockSourceInfoGetName(info, name, UAC_CLOCK_NAME_CHARS), 10u);
  EXPECT_EQ(std::u16string(name), u"Word Clock");
  EXPECT_EQ(info.ClockId, 0x0B);
  EXPECT_EQ(info.SelectorId, 0x0C);
  EXPECT_EQ(info.Attributes & UAC_CLOCK_TYPE_MASK, UAC_CLOCK_TYPE_INTERNAL_VARIABLE);
  EXPECT_NE(info.Attributes & UAC_CLOCK_VALID, 0u);

  ClockSourceInfo built{};
  built.Number = 2;
  ClockSourceInfoSetName(built, QAV_W("Word Clock"), 10);
  built.ClockId = 0x0B;
  built.SelectorId = 0x0C;
  built.Attributes = UAC_CLOCK_TYPE_INTERNAL_VARIABLE | UAC_CLOCK_VALID;
  EXPECT_EQ(Encode(built), image);
}

TEST(PrivateRecords, UrbTimingReadsCountThenTwentyLatenessBuckets) {
  WireImage writer;
  writer.U32(48000);
  for (uint32_t bucket = 0; bucket < UAC_URB_TIMING_BUCKETS; ++bucket) writer.U32(1000 - bucket);
  UrbTimingInfo timing = Decode<UrbTimingInfo>(writer.bytes());
  EXPECT_EQ(timing.Count, 48000u);
  EXPECT_EQ(timing.Lateness[0], 1000u);
  EXPECT_EQ(timing.Lateness[UAC_URB_TIMING_BUCKETS - 1], 1000u - (UAC_URB_TIMING_BUCKETS - 1));
}

}  // namespace
