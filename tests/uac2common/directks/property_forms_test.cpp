// The bytes of each property, node, channel and method request as they leave
// the library, and the two-step variable-size forms.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_io.h"
#include "winsim/machine.h"

namespace kslibtest {
namespace {

constexpr GUID kSet = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Header {
  GUID set;
  ULONG id;
  ULONG flags;
};

Header ReadHeader(const IoRequest &request) {
  Header header{};
  EXPECT_GE(request.input.size(), sizeof header);
  if (request.input.size() >= sizeof header) std::memcpy(&header, request.input.data(), sizeof header);
  return header;
}

ULONG U32At(const IoRequest &request, size_t offset) {
  ULONG value = 0;
  EXPECT_GE(request.input.size(), offset + 4);
  if (request.input.size() >= offset + 4) std::memcpy(&value, request.input.data() + offset, 4);
  return value;
}

class PropertyForms : public ::testing::Test {
 protected:
  winsim::Machine machine;
  FakeIo io;
  CKsIrpTarget target{kFakeHandle};
  ULONG value = 0;
  ULONG extra[2] = {0xA1A2A3A4, 0xB1B2B3B4};
};

struct FormCase {
  const char *name;
  ULONG headerSize;
  ULONG flags;
  HRESULT (*send)(CKsIrpTarget &, PVOID value, PVOID extra);
};

const FormCase kForms[] = {
    {"get", 24, KSPROPERTY_TYPE_GET,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.GetPropertySimple(kSet, 9, v, 4, e, 8); }},
    {"set", 24, KSPROPERTY_TYPE_SET,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.SetPropertySimple(kSet, 9, v, 4, e, 8); }},
    {"node get", 32, 0x10000001,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.GetNodePropertySimple(3, kSet, 9, v, 4, e, 8); }},
    {"node set", 32, 0x10000002,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.SetNodePropertySimple(3, kSet, 9, v, 4, e, 8); }},
    {"channel get", 40, 0x10000001,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.GetNodePropertyChannel(3, -1, kSet, 9, v, 4, e, 8); }},
    {"channel set", 40, 0x10000002,
     [](CKsIrpTarget &t, PVOID v, PVOID e) { return t.SetNodePropertyChannel(3, -1, kSet, 9, v, 4, e, 8); }},
};

TEST_F(PropertyForms, HeaderThenExtraBytesAndTheValueAsOutput) {
  for (const FormCase &form : kForms) {
    SCOPED_TRACE(form.name);
    io.requests.clear();
    EXPECT_EQ(form.send(target, &value, extra), S_OK);
    ASSERT_EQ(io.requests.size(), 1u);
    const IoRequest &sent = io.requests[0];
    EXPECT_EQ(sent.code, static_cast<DWORD>(IOCTL_KS_PROPERTY));
    ASSERT_EQ(sent.input.size(), form.headerSize + sizeof extra);
    Header header = ReadHeader(sent);
    EXPECT_TRUE(directks::GuidEquals(header.set, kSet));
    EXPECT_EQ(header.id, 9u);
    EXPECT_EQ(header.flags, form.flags);
    if (form.headerSize >= 32) {
      EXPECT_EQ(U32At(sent, 24), 3u) << "node id";
      EXPECT_EQ(U32At(sent, 28), 0u) << "reserved";
    }
    if (form.headerSize == 40) {
      EXPECT_EQ(U32At(sent, 32), 0xFFFFFFFFu) << "channel -1";
      EXPECT_EQ(U32At(sent, 36), 0u) << "reserved";
    }
    EXPECT_EQ(U32At(sent, form.headerSize), extra[0]);
    EXPECT_EQ(U32At(sent, form.headerSize + 4), extra[1]);
    EXPECT_TRUE(sent.hasOutput);
    EXPECT_EQ(sent.outputSize, 4u);
  }
}

TEST_F(PropertyForms, WithoutAnExtraBlockOnlyTheHeaderIsSent) {
  EXPECT_EQ(target.GetPropertySimple(kSet, 1, &value, 4, nullptr, 16), S_OK);
  ASSERT_EQ(io.requests.size(), 1u);
  EXPECT_EQ(io.requests[0].input.size(), 24u) << "a size without a block counts as none";
}

TEST_F(PropertyForms, SupportQueriesAndMethods) {
  EXPECT_EQ(target.PropertySetSupport(kSet), S_OK);
  ULONG access = 0;
  io.answer = [](const IoRequest &) {
    IoAnswer answer;
    ULONG flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    answer.output = Bytes(flags);
    answer.bytes = 4;
    return answer;
  };
  EXPECT_EQ(target.PropertyBasicSupport(kSet, 5, &access), S_OK);
  EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
  KSMETHOD method = {};
  UCHAR data[16] = {};
  ULONG bytes = 0;
  EXPECT_EQ(target.KsMethod(&method, sizeof method, data, sizeof data, &bytes), S_OK);
  ASSERT_EQ(io.requests.size(), 3u);
  Header support = ReadHeader(io.requests[0]);
  EXPECT_EQ(support.id, 0u);
  EXPECT_EQ(support.flags, static_cast<ULONG>(KSPROPERTY_TYPE_SETSUPPORT));
  EXPECT_FALSE(io.requests[0].hasOutput);
  EXPECT_EQ(ReadHeader(io.requests[1]).flags, static_cast<ULONG>(KSPROPERTY_TYPE_BASICSUPPORT));
  EXPECT_EQ(io.requests[1].outputSize, 4u);
  EXPECT_EQ(io.requests[2].code, 0x2F000Fu) << "IOCTL_KS_METHOD";
  EXPECT_EQ(io.requests[2].outputSize, sizeof data);
}

// A list property: the size, then the data into a buffer of that size.
IoAnswer ListOf(const IoRequest &request, const std::vector<uint8_t> &data) {
  IoAnswer answer;
  if (request.outputSize == 0) {
    answer.result = FALSE;
    answer.error = ERROR_MORE_DATA;
    answer.bytes = static_cast<DWORD>(data.size());
    return answer;
  }
  answer.output = data;
  answer.bytes = static_cast<DWORD>(data.size());
  return answer;
}

TEST_F(PropertyForms, GetPropertyMultiAsksTheSizeThenReadsIntoABufferOfIt) {
  const std::vector<uint8_t> list = {16, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0, 0, 0, 0xBB, 0, 0, 0};
  io.answer = [&](const IoRequest &request) { return ListOf(request, list); };
  PUCHAR buffer = nullptr;
  ULONG size = 0;
  ASSERT_EQ(target.GetPropertyMulti(kSet, 2, &buffer, &size), S_OK);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 16), list);
  CKsIrpTarget::FreeBuffer(buffer);
  ASSERT_EQ(io.requests.size(), 2u);
  EXPECT_FALSE(io.requests[0].hasOutput);
  EXPECT_EQ(io.requests[1].outputSize, 16u);
  EXPECT_EQ(ReadHeader(io.requests[1]).flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
}

TEST_F(PropertyForms, GetPropertyMultiOfNothingAllocatesNothing) {
  io.answer = [](const IoRequest &) { return IoAnswer{}; };  // the size query succeeds with 0 bytes
  PUCHAR buffer = reinterpret_cast<PUCHAR>(&value);
  EXPECT_EQ(target.GetPropertyMulti(kSet, 2, &buffer), S_OK);
  EXPECT_EQ(buffer, reinterpret_cast<PUCHAR>(&value)) << "untouched";
  EXPECT_EQ(io.requests.size(), 1u);
}

TEST_F(PropertyForms, TheSecondMultiFormReadsWithTheCallersRequest) {
  const std::vector<uint8_t> data(12, 0x5A);
  io.answer = [&](const IoRequest &request) { return ListOf(request, data); };
  struct {
    KSPROPERTY property;
    ULONG index;
  } request = {};
  request.property.Set = kSet;
  request.property.Id = 11;
  request.property.Flags = KSPROPERTY_TYPE_GET;
  request.index = 6;
  PUCHAR buffer = nullptr;
  ASSERT_EQ(target.GetPropertyMulti(kSet, 11, &request, sizeof request, &buffer), S_OK);
  CKsIrpTarget::FreeBuffer(buffer);
  ASSERT_EQ(io.requests.size(), 2u);
  EXPECT_EQ(io.requests[0].input.size(), 24u) << "the size is asked with the plain KSPROPERTY";
  EXPECT_EQ(io.requests[1].input.size(), sizeof request);
  EXPECT_EQ(U32At(io.requests[1], 24), 6u);
}

TEST_F(PropertyForms, SetPropertyMultiSetsAZeroFilledLocalBuffer) {
  io.answer = [&](const IoRequest &request) { return ListOf(request, std::vector<uint8_t>(20, 0)); };
  PVOID buffer = nullptr;
  ASSERT_EQ(target.SetPropertyMulti(kSet, 4, &buffer), S_OK);
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(io.requests.size(), 2u);
  EXPECT_EQ(ReadHeader(io.requests[0]).flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
  EXPECT_EQ(ReadHeader(io.requests[1]).flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
  EXPECT_EQ(io.requests[1].outputSize, 20u);
  EXPECT_EQ(LocalFree(buffer), nullptr) << "a LocalAlloc block";
}

TEST_F(PropertyForms, AFailedSizeQueryIsReturnedAsIs) {
  io.answer = [](const IoRequest &) {
    IoAnswer answer;
    answer.result = FALSE;
    answer.error = ERROR_NOT_FOUND;
    return answer;
  };
  PUCHAR buffer = nullptr;
  EXPECT_EQ(target.GetPropertyMulti(kSet, 2, &buffer), E_FAIL);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(io.requests.size(), 1u);
}

}  // namespace
}  // namespace kslibtest
