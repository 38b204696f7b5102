// The Zw registry API as a driver sees it: values, information buffers,
// enumeration, relative opens, handles and argument checking.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

#include "registry/zw_helpers.h"
#include "winsim/machine.h"

using winsim::RegValue;

namespace {

constexpr std::u16string_view kQavKey = u"\\Registry\\Machine\\SOFTWARE\\Qav";

class RegistryZw : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::SystemRegistry().Clear();
    winsim::RegCreateOptions withParents;
    withParents.withParents = true;
    winsim::RegKeyRef qav;
    ASSERT_EQ(winsim::SystemRegistry().CreateKey(nullptr, kQavKey, withParents, &qav, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(key_.put(), kQavKey), STATUS_SUCCESS);
    openAtStart_ = winsim::RegistryHandles().OpenCount();
  }
  void TearDown() override { EXPECT_EQ(winsim::RegistryHandles().OpenCount(), openAtStart_) << "handle leaked"; }

  winsim::Machine machine_;  // the Zw calls run on its attached test thread
  ScopedKey key_;
  size_t openAtStart_ = 0;
};

std::vector<UCHAR> QueryPartial(HANDLE key, std::u16string_view name, ULONG *type) {
  UString n(name);
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(key, n.get(), KeyValuePartialInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
  std::vector<UCHAR> buffer(needed);
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key, n.get(), KeyValuePartialInformation, buffer.data(), needed, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, needed);
  const auto *info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
  *type = info->Type;
  return std::vector<UCHAR>(info->Data, info->Data + info->DataLength);
}

std::u16string EnumeratedKeyName(HANDLE key, ULONG index, NTSTATUS *status) {
  alignas(8) UCHAR buffer[512];
  ULONG result = 0;
  *status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof buffer, &result);
  if (!NT_SUCCESS(*status)) return {};
  const auto *info = reinterpret_cast<const KEY_BASIC_INFORMATION *>(buffer);
  return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

std::u16string EnumeratedValueName(HANDLE key, ULONG index, NTSTATUS *status) {
  alignas(8) UCHAR buffer[512];
  ULONG result = 0;
  *status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer, sizeof buffer, &result);
  if (!NT_SUCCESS(*status)) return {};
  const auto *info = reinterpret_cast<const KEY_VALUE_BASIC_INFORMATION *>(buffer);
  return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

TEST_F(RegistryZw, EveryValueTypeReadsBackWithItsTypeAndBytes) {
  const struct {
    const char16_t *name;
    RegValue value;
  } cases[] = {
      {u"Sz", RegValue::String(u"Qav Audio")},
      {u"EmptySz", RegValue::String(u"")},
      {u"Expand", RegValue::String(u"%SystemRoot%\\qav", REG_EXPAND_SZ)},
      {u"Multi", RegValue::MultiString({u"one", u"two", u""})},
      {u"Dword", RegValue::Dword(0xDEADBEEF)},
      {u"Qword", RegValue::Qword(0x1122334455667788ull)},
      {u"Binary", RegValue::Binary({0x00, 0xFF, 0x10, 0x80})},
      {u"EmptyBinary", RegValue::Binary({})},
      {u"None", RegValue::Binary({1, 2, 3}, REG_NONE)},
      {u"BigEndian", RegValue::Binary({0, 0, 0, 42}, REG_DWORD_BIG_ENDIAN)},
  };
  for (const auto &c : cases) ASSERT_EQ(SetValue(key_.get(), c.name, c.value), STATUS_SUCCESS) << (int)c.value.type;
  for (const auto &c : cases) {
    ULONG type = 0xFFFF;
    const std::vector<UCHAR> data = QueryPartial(key_.get(), c.name, &type);
    EXPECT_EQ(type, c.value.type);
    EXPECT_EQ(data, c.value.data);
  }
}

TEST_F(RegistryZw, DefaultValueIsTheEmptyName) {
  ASSERT_EQ(SetValue(key_.get(), u"", RegValue::Dword(7)), STATUS_SUCCESS);
  EXPECT_EQ(winsim::SystemRegistry().ReadValue(kQavKey, u""), RegValue::Dword(7));
  UNICODE_STRING empty{0, 0, nullptr};
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(key_.get(), &empty, KeyValuePartialInformation, nullptr, 0, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 12u + 4u);
}

TEST_F(RegistryZw, MissingValueIsNameNotFound) {
  UString name(u"Absent");
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key_.get(), name.get(), KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteValueKey(key_.get(), name.get()), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Buffer rules: below the fixed part nothing is written (TOO_SMALL); from the
// fixed part up to one byte short only the fixed part is written (OVERFLOW);
// ResultLength is the full length in every case.
TEST_F(RegistryZw, ValueInformationHonoursEveryBufferSize) {
  ASSERT_EQ(SetValue(key_.get(), u"Rate", RegValue::Binary({'h', 'e', 'l', 'l', 'o'})), STATUS_SUCCESS);
  ASSERT_EQ(SetValue(key_.get(), u"Bit", RegValue::Binary({'h', 'e', 'l', 'l', 'o'})), STATUS_SUCCESS);
  struct Case {
    KEY_VALUE_INFORMATION_CLASS infoClass;
    const char16_t *name;
    ULONG fixed;
    ULONG full;
  };
  const Case cases[] = {
      {KeyValuePartialInformation, u"Rate", 12, 17},
      {KeyValueBasicInformation, u"Rate", 12, 20},
      {KeyValueFullInformation, u"Rate", 20, 33},  // name ends at 28, data at 28
      {KeyValueFullInformation, u"Bit", 20, 33},   // name ends at 26, data aligned to 28
      {KeyValuePartialInformationAlign64, u"Rate", 8, 13},
      {KeyValueFullInformationAlign64, u"Bit", 20, 37},  // data aligned to 32
  };
  for (const Case &c : cases) {
    const ULONG lengths[] = {0, c.fixed - 1, c.fixed, c.full - 1, c.full};
    for (ULONG length : lengths) {
      SCOPED_TRACE(testing::Message() << "class " << c.infoClass << " length " << length);
      std::vector<UCHAR> buffer(c.full + 8, 0xCC);
      ULONG result = 0;
      UString name(c.name);
      const NTSTATUS status = ZwQueryValueKey(key_.get(), name.get(), c.infoClass, buffer.data(), length, &result);
      EXPECT_EQ(result, c.full);
      const ULONG written = length < c.fixed ? 0 : (length < c.full ? c.fixed : c.full);
      EXPECT_EQ(status, length < c.fixed ? STATUS_BUFFER_TOO_SMALL
                                         : (length < c.full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS));
      for (size_t i = written; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written";
      if (written == 0) continue;
      ULONG type, dataLength;
      if (c.infoClass == KeyValuePartialInformationAlign64) {
        memcpy(&type, &buffer[0], 4);
        memcpy(&dataLength, &buffer[4], 4);
        EXPECT_EQ(dataLength, 5u);
      } else {
        memcpy(&type, &buffer[4], 4);
      }
      EXPECT_EQ(type, ULONG(REG_BINARY));
    }
  }
}

TEST_F(RegistryZw, FullValueInformationLaysOutNameThenAlignedData) {
  ASSERT_EQ(SetValue(key_.get(), u"Bit", RegValue::Dword(0x01020304)), STATUS_SUCCESS);
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  UString name(u"BIT");
  ASSERT_EQ(ZwQueryValueKey(key_.get(), name.get(), KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  const auto *info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(buffer);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->NameLength, 6u);
  EXPECT_EQ(std::u16string(info->Name, 3), u"Bit");  // stored case, not the query's
  EXPECT_EQ(info->DataOffset, 28u);
  EXPECT_EQ(info->DataLength, 4u);
  DWORD data;
  memcpy(&data, buffer + info->DataOffset, 4);
  EXPECT_EQ(data, 0x01020304u);
  EXPECT_EQ(result, 32u);
}

TEST_F(RegistryZw, SubkeysEnumerateSortedIgnoringCaseAndThenEnd) {
  for (const char16_t *name : {u"beta", u"Alpha", u"_under", u"gamma", u"ALPHA2"}) {
    ScopedKey sub;
    ASSERT_EQ(CreateKey(sub.put(), name, key_.get()), STATUS_SUCCESS);
  }
  // Upcased, '_' (0x5F) sorts after the letters.
  const std::u16string expected[] = {u"Alpha", u"ALPHA2", u"beta", u"gamma", u"_under"};
  NTSTATUS status;
  for (ULONG i = 0; i < 5; ++i) {
    EXPECT_EQ(EnumeratedKeyName(key_.get(), i, &status), expected[i]);
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
  EnumeratedKeyName(key_.get(), 5, &status);
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EnumeratedKeyName(key_.get(), 0xFFFFFFFF, &status);
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
}

TEST_F(RegistryZw, ValuesEnumerateInCreationOrderAcrossOverwriteAndDelete) {
  for (const char16_t *name : {u"z", u"a", u"m"}) ASSERT_EQ(SetValue(key_.get(), name, RegValue::Dword(1)), 0);
  ASSERT_EQ(SetValue(key_.get(), u"A", RegValue::Dword(2)), STATUS_SUCCESS);  // overwrite keeps its place
  UString z(u"Z");
  ASSERT_EQ(ZwDeleteValueKey(key_.get(), z.get()), STATUS_SUCCESS);
  NTSTATUS status;
  EXPECT_EQ(EnumeratedValueName(key_.get(), 0, &status), u"a");
  EXPECT_EQ(EnumeratedValueName(key_.get(), 1, &status), u"m");
  EXPECT_EQ(status, STATUS_SUCCESS);
  EnumeratedValueName(key_.get(), 2, &status);
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(winsim::SystemRegistry().ReadValue(kQavKey, u"a"), RegValue::Dword(2));
}

TEST_F(RegistryZw, RelativeOpensResolveBelowTheRootDirectory) {
  ScopedKey sub, software, viaRelative, reopened;
  ASSERT_EQ(CreateKey(sub.put(), u"Devices\\Rowan", nullptr), STATUS_OBJECT_PATH_SYNTAX_BAD);
  ASSERT_EQ(CreateKey(sub.put(), u"Devices", key_.get()), STATUS_SUCCESS);
  ScopedKey rowan;
  ASSERT_EQ(CreateKey(rowan.put(), u"Rowan", sub.get()), STATUS_SUCCESS);
  ASSERT_EQ(SetValue(rowan.get(), u"Rate", RegValue::Dword(48000)), STATUS_SUCCESS);

  ASSERT_EQ(OpenKey(software.put(), u"\\Registry\\Machine\\SOFTWARE"), STATUS_SUCCESS);
  ASSERT_EQ(OpenKey(viaRelative.put(), u"Qav\\Devices\\Rowan", software.get()), STATUS_SUCCESS);
  ULONG type;
  EXPECT_EQ(QueryPartial(viaRelative.get(), u"Rate", &type), RegValue::Dword(48000).data);

  HANDLE h = nullptr;
  EXPECT_EQ(OpenKey(&h, u"\\Registry\\Machine", software.get()), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(OpenKey(&h, u"Qav\\Missing", software.get()), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(h, nullptr);

  // No name at all reopens the root directory itself.
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, rowan.get(), nullptr);
  ASSERT_EQ(ZwOpenKey(reopened.put(), KEY_READ, &oa), STATUS_SUCCESS);
  EXPECT_NE(reopened.get(), rowan.get());
  NTSTATUS status;
  EXPECT_EQ(EnumeratedValueName(reopened.get(), 0, &status), u"Rate");
}

TEST_F(RegistryZw, NamesMatchIgnoringCaseAndKeepTheirFirstSpelling) {
  ScopedKey created, opened;
  ASSERT_EQ(CreateKey(created.put(), u"MixedCase", key_.get()), STATUS_SUCCESS);
  ULONG disposition = 0;
  ASSERT_EQ(CreateKey(opened.put(), u"MIXEDCASE", key_.get(), 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  alignas(8) UCHAR buffer[128];
  ULONG result;
  ASSERT_EQ(ZwQueryKey(opened.get(), KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  const auto *info = reinterpret_cast<const KEY_BASIC_INFORMATION *>(buffer);
  EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"MixedCase");

  ASSERT_EQ(SetValue(created.get(), u"VolumeLevel", RegValue::Dword(1)), STATUS_SUCCESS);
  ASSERT_EQ(SetValue(opened.get(), u"VOLUMELEVEL", RegValue::Dword(2)), STATUS_SUCCESS);
  NTSTATUS status;
  EXPECT_EQ(EnumeratedValueName(created.get(), 0, &status), u"VolumeLevel");
  EnumeratedValueName(created.get(), 1, &status);
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
}

TEST_F(RegistryZw, CreateReportsDispositionAndNeedsTheParent) {
  ScopedKey a, b;
  ULONG disposition = 0;
  ASSERT_EQ(CreateKey(a.put(), u"Fresh", key_.get(), 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ASSERT_EQ(CreateKey(b.put(), u"Fresh", key_.get(), 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  HANDLE h = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(CreateKey(&h, u"NoParent\\Child", key_.get()), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_FALSE(winsim::SystemRegistry().KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Qav\\NoParent"));
}

TEST_F(RegistryZw, QueryKeyFullInformationCountsSubkeysAndValues) {
  UString cls(u"AudioClass");
  for (const char16_t *name : {u"ab", u"abcd"}) {
    ScopedKey sub;
    ASSERT_EQ(CreateKey(sub.put(), name, key_.get(), 0, nullptr, name[2] ? cls.get() : nullptr), STATUS_SUCCESS);
  }
  ASSERT_EQ(SetValue(key_.get(), u"x", RegValue::Dword(1)), STATUS_SUCCESS);
  ASSERT_EQ(SetValue(key_.get(), u"long", RegValue::Binary(std::vector<UCHAR>(10))), STATUS_SUCCESS);
  alignas(8) UCHAR buffer[128];
  ULONG result = 0;
  ASSERT_EQ(ZwQueryKey(key_.get(), KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  const auto *info = reinterpret_cast<const KEY_FULL_INFORMATION *>(buffer);
  EXPECT_EQ(info->SubKeys, 2u);
  EXPECT_EQ(info->MaxNameLen, 8u);
  EXPECT_EQ(info->MaxClassLen, 20u);
  EXPECT_EQ(info->Values, 2u);
  EXPECT_EQ(info->MaxValueNameLen, 8u);
  EXPECT_EQ(info->MaxValueDataLen, 10u);
  EXPECT_EQ(result, 44u);

  ScopedKey withClass;
  ASSERT_EQ(OpenKey(withClass.put(), u"abcd", key_.get()), STATUS_SUCCESS);
  ASSERT_EQ(ZwQueryKey(withClass.get(), KeyNodeInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  const auto *node = reinterpret_cast<const KEY_NODE_INFORMATION *>(buffer);
  EXPECT_EQ(node->ClassLength, 20u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const WCHAR *>(buffer + node->ClassOffset), 10), u"AudioClass");
  EXPECT_EQ(result, 24u + 8u + 20u);
}

TEST_F(RegistryZw, HandlesAreCheckedForValidityAndGrantedAccess) {
  UString name(u"v");
  DWORD one = 1;
  ULONG result;
  alignas(8) UCHAR buffer[32];
  const HANDLE bogus[] = {nullptr, reinterpret_cast<HANDLE>(0x1234), reinterpret_cast<HANDLE>(-1)};
  for (HANDLE h : bogus) {
    EXPECT_EQ(ZwSetValueKey(h, name.get(), 0, REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwQueryKey(h, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
  }
  HANDLE closed;
  ASSERT_EQ(OpenKey(&closed, kQavKey), STATUS_SUCCESS);
  ASSERT_EQ(ZwClose(closed), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(closed, name.get(), 0, REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);

  ScopedKey reader, writer, generic;
  ASSERT_EQ(OpenKey(reader.put(), kQavKey, nullptr, KEY_READ), STATUS_SUCCESS);
  ASSERT_EQ(OpenKey(writer.put(), kQavKey, nullptr, KEY_WRITE), STATUS_SUCCESS);
  ASSERT_EQ(OpenKey(generic.put(), kQavKey, nullptr, GENERIC_READ), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(reader.get(), name.get(), 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwDeleteKey(reader.get()), STATUS_ACCESS_DENIED);
  ASSERT_EQ(ZwSetValueKey(writer.get(), name.get(), 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
  EXPECT_EQ(ZwQueryValueKey(writer.get(), name.get(), KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwQueryValueKey(generic.get(), name.get(), KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
}

TEST_F(RegistryZw, MalformedArgumentsAreRefused) {
  alignas(8) UCHAR buffer[64];
  ULONG result;
  WCHAR text[] = u"Qav";
  const UNICODE_STRING badStrings[] = {
      {3, 6, text},     // odd length
      {6, 4, text},     // length beyond the maximum
      {2, 2, nullptr},  // no buffer for a non-empty string
  };
  for (const UNICODE_STRING &bad : badStrings) {
    UNICODE_STRING s = bad;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &s, OBJ_KERNEL_HANDLE, key_.get(), nullptr);
    HANDLE h;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwCreateKey(&h, KEY_READ, &oa, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(key_.get(), &s, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwSetValueKey(key_.get(), &s, 0, REG_NONE, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwDeleteValueKey(key_.get(), &s), STATUS_INVALID_PARAMETER);
  }

  UString name(u"v");
  ASSERT_EQ(SetValue(key_.get(), u"v", RegValue::Dword(1)), STATUS_SUCCESS);
  EXPECT_EQ(ZwQueryValueKey(key_.get(), name.get(), KeyValuePartialInformation, buffer, sizeof buffer, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryValueKey(key_.get(), name.get(), KeyValuePartialInformation, nullptr, 16, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryValueKey(key_.get(), name.get(), KEY_VALUE_INFORMATION_CLASS(99), buffer, sizeof buffer, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryKey(key_.get(), KeyNameInformation, buffer, sizeof buffer, &result), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwSetValueKey(key_.get(), name.get(), 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);

  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_KERNEL_HANDLE, key_.get(), nullptr);
  HANDLE h;
  EXPECT_EQ(ZwCreateKey(&h, KEY_READ, &oa, 0, nullptr, 0x100, nullptr), STATUS_INVALID_PARAMETER);
  oa.Length = sizeof(OBJECT_ATTRIBUTES) - 8;
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, nullptr), STATUS_INVALID_PARAMETER);

  for (const char16_t *path : {u"A\\\\B", u"A\\", u"\\Registry\\\\Machine"}) {
    EXPECT_EQ(OpenKey(&h, path, path[0] == u'\\' ? nullptr : key_.get()), STATUS_OBJECT_NAME_INVALID) << (char)path[0];
  }
  EXPECT_EQ(OpenKey(&h, std::u16string(256, u'k'), key_.get()), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(OpenKey(&h, u"\\Device\\Qav"), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(RegistryZw, DeleteKeyNeedsNoSubkeysAndLeavesHandlesToADeletedKey) {
  ScopedKey parent, child, otherView;
  ASSERT_EQ(CreateKey(parent.put(), u"Parent", key_.get()), STATUS_SUCCESS);
  ASSERT_EQ(CreateKey(child.put(), u"Child", parent.get()), STATUS_SUCCESS);
  ASSERT_EQ(OpenKey(otherView.put(), u"Parent", key_.get()), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_CANNOT_DELETE);
  ASSERT_EQ(ZwDeleteKey(child.get()), STATUS_SUCCESS);
  ASSERT_EQ(ZwDeleteKey(parent.get()), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_KEY_DELETED);

  ULONG result;
  alignas(8) UCHAR buffer[64];
  EXPECT_EQ(ZwQueryKey(otherView.get(), KeyFullInformation, buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
  EXPECT_EQ(SetValue(otherView.get(), u"v", RegValue::Dword(1)), STATUS_KEY_DELETED);
  HANDLE h;
  EXPECT_EQ(CreateKey(&h, u"Grandchild", otherView.get()), STATUS_KEY_DELETED);
  EXPECT_EQ(OpenKey(&h, u"Parent", key_.get()), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwFlushKey(otherView.get()), STATUS_KEY_DELETED);

  HANDLE machine;
  ASSERT_EQ(OpenKey(&machine, u"\\Registry\\Machine"), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(machine), STATUS_CANNOT_DELETE);
  ZwClose(machine);
}

TEST_F(RegistryZw, VolatileKeysTakeOnlyVolatileChildren) {
  ScopedKey runtime, stable, child;
  ASSERT_EQ(CreateKey(runtime.put(), u"Runtime", key_.get(), REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(CreateKey(stable.put(), u"Stable", runtime.get()), STATUS_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(CreateKey(child.put(), u"Child", runtime.get(), REG_OPTION_VOLATILE), STATUS_SUCCESS);
}

TEST_F(RegistryZw, FlushKeyRunsTheMachinesFlushHandler) {
  int flushes = 0;
  winsim::SystemRegistry().SetFlushHandler([&flushes] {
    ++flushes;
    return STATUS_SUCCESS;
  });
  EXPECT_EQ(ZwFlushKey(key_.get()), STATUS_SUCCESS);
  winsim::SystemRegistry().SetFlushHandler(nullptr);
  EXPECT_EQ(ZwFlushKey(key_.get()), STATUS_SUCCESS);
  EXPECT_EQ(flushes, 1);
}

TEST_F(RegistryZw, CloseHandsOtherHandlesToTheObjectManager) {
  static HANDLE seen;
  seen = nullptr;
  winsim::SetNonRegistryHandleCloser([](HANDLE h) -> NTSTATUS {
    seen = h;
    return STATUS_SUCCESS;
  });
  const HANDLE eventHandle = reinterpret_cast<HANDLE>(0xFFFFFFFF80000044ull);
  EXPECT_EQ(ZwClose(eventHandle), STATUS_SUCCESS);
  winsim::SetNonRegistryHandleCloser(nullptr);
  EXPECT_EQ(seen, eventHandle);
  EXPECT_EQ(ZwClose(eventHandle), STATUS_INVALID_HANDLE);
}

// Simulated threads use the registry at the same time; the sanitizer builds
// check the locking, the counts check that no update was lost.
TEST_F(RegistryZw, ConcurrentWritersAndEnumeratorsLoseNothing) {
  constexpr int kThreads = 4, kValues = 50;
  std::vector<std::shared_ptr<winsim::SimThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(machine_.Threads().Spawn("writer", winsim::ThreadKind::SystemWorker, winsim::kSystemProcessId, [this, t] {
      ScopedKey mine;
      std::u16string name = u"Thread";
      name += char16_t(u'0' + t);
      if (CreateKey(mine.put(), name, key_.get()) != STATUS_SUCCESS) return;
      for (int i = 0; i < kValues; ++i) {
        std::u16string valueName = u"v" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26);
        SetValue(mine.get(), valueName, RegValue::Dword(DWORD(i)));
        NTSTATUS status;
        for (ULONG k = 0; k < 8; ++k) EnumeratedKeyName(key_.get(), k, &status);
      }
    }));
  }
  for (auto &thread : threads) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  for (int t = 0; t < kThreads; ++t) {
    std::u16string path = std::u16string(kQavKey) + u"\\Thread" + char16_t(u'0' + t);
    winsim::RegKeySnapshot snapshot;
    ASSERT_EQ(winsim::SystemRegistry().Snapshot(path, &snapshot), STATUS_SUCCESS);
    EXPECT_EQ(snapshot.values.size(), size_t(kValues));
  }
}

}  // namespace
