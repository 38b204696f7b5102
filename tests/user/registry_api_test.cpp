// advapi32's registry functions over the machine's one registry: round trips
// of every value type, the size protocol of RegQueryValueExA, access rights,
// key deletion rules, enumeration, the predefined keys and HKEY_CURRENT_USER
// per user.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "winsim/kernel/registry_store.h"
#include "winsim/machine.h"
#include "winsim/user/registry_api.h"

namespace {

class RegistryApiTest : public ::testing::Test {
 protected:
  HKEY Create(HKEY root, const char *path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, access, nullptr, &key, &disposition), ERROR_SUCCESS) << path;
    return key;
  }

  winsim::Machine machine;
};

struct TypedValue {
  const char *name;
  DWORD type;
  std::vector<BYTE> data;
};

TEST_F(RegistryApiTest, EveryValueTypeRoundTripsThroughTheAnsiForms) {
  const std::vector<TypedValue> values = {
      {"Text", REG_SZ, {'Q', 'a', 'v', 0}},
      {"Expand", REG_EXPAND_SZ, {'%', 'X', '%', 0}},
      {"Many", REG_MULTI_SZ, {'a', 0, 'b', 'c', 0, 0}},
      {"Number", REG_DWORD, {1, 0, 0, 0}},
      {"Wide", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Blob", REG_BINARY, {0xFF, 0x00, 0x7F}},
      {"", REG_SZ, {'d', 0}},  // the key's default value
  };
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav\\Round");
  for (const TypedValue &value : values) {
    ASSERT_EQ(RegSetValueExA(key, value.name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS)
        << value.name;
  }
  for (const TypedValue &value : values) {
    BYTE buffer[64] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, value.name, nullptr, &type, buffer, &size), ERROR_SUCCESS) << value.name;
    EXPECT_EQ(type, value.type) << value.name;
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), value.data) << value.name;
  }
  // Strings are kept in UTF-16, as Windows keeps them: the kernel reads the same value.
  auto stored = winsim::SystemRegistry().ReadValue(u"\\Registry\\Machine\\SOFTWARE\\Qav\\Round", u"Text");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, winsim::RegValue::String(u"Qav"));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryApiTest, QueryTellsTheSizeBeforeItCopies) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav");
  const char text[] = "Tessarin Maple";
  ASSERT_EQ(RegSetValueExA(key, "FriendlyName", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "FriendlyName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);

  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "FriendlyName", nullptr, nullptr, reinterpret_cast<BYTE *>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(std::memcmp(small, "xxxx", 4), 0) << "a refused read copies nothing";

  // A data buffer without its size is refused (Windows would fault).
  char buffer[32];
  EXPECT_EQ(RegQueryValueExA(key, "FriendlyName", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), nullptr),
            ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "FriendlyName", &reserved, nullptr, reinterpret_cast<BYTE *>(buffer), &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, HandlesGrantOnlyTheRightsAskedFor) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav\\Rights"));
  HKEY reader = nullptr;
  HKEY writer = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav\\Rights", 0, KEY_READ, &reader), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\QAV\\rights", 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS)
      << "key names compare without regard to case";
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(reader, "V", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(writer, "V", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_SUCCESS);
  DWORD size = 4;
  DWORD value = 0;
  EXPECT_EQ(RegQueryValueExA(writer, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExA(reader, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(reader, "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_ACCESS_DENIED);
  char name[16];
  DWORD chars = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(writer, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
  RegCloseKey(writer);
  EXPECT_EQ(RegCloseKey(writer), ERROR_INVALID_HANDLE) << "a closed handle stays closed";
  EXPECT_EQ(RegQueryValueExA(writer, "V", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApiTest, KeysEnumerateInOrderAndDeleteOnlyWithoutSubkeys) {
  HKEY parent = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav\\Tree");
  RegCloseKey(Create(parent, "Beta\\Leaf"));
  RegCloseKey(Create(parent, "alpha"));
  DWORD disposition = 0;
  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExA(parent, "ALPHA", 0, nullptr, 0, KEY_READ, nullptr, &again, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(again);

  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[32];
    DWORD chars = sizeof name;
    LSTATUS result = RegEnumKeyExA(parent, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(chars, std::strlen(name));
    names.push_back(name);
    ASSERT_LT(index, 10u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta"}));
  char tiny[4];
  DWORD chars = sizeof tiny;
  EXPECT_EQ(RegEnumKeyExA(parent, 0, tiny, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA)
      << "room for 'alpha' and its terminator is needed";

  EXPECT_EQ(RegDeleteKeyA(parent, "Beta"), ERROR_ACCESS_DENIED) << "a key with subkeys stays";
  EXPECT_EQ(RegDeleteKeyA(parent, "Beta\\Leaf"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "Beta"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "Beta"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(parent, "Beta", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(gone, nullptr);
  RegCloseKey(parent);
}

TEST_F(RegistryApiTest, ClassesRootIsTheMachinesSoftwareClasses) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "CLSID\\{QAV}");
  const char text[] = "server";
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text), ERROR_SUCCESS);
  RegCloseKey(key);
  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\{QAV}", 0, KEY_READ, &same), ERROR_SUCCESS);
  char buffer[16];
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(same, nullptr, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "server");
  RegCloseKey(same);
}

TEST_F(RegistryApiTest, CurrentUserIsTheCallingProcesssUser) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Qav");
  const DWORD size = 512;
  ASSERT_EQ(RegSetValueExA(key, "AsioBufferSize", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&size), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::u16string first = u"\\Registry\\User\\" + winsim::WidenAnsi(winsim::kDefaultUserSid) + u"\\Software\\Qav";
  EXPECT_TRUE(winsim::SystemRegistry().ReadValue(first, u"AsioBufferSize").has_value());

  // Another user of the same machine has a HKEY_CURRENT_USER of its own.
  winsim::SetProcessUser(1000, "S-1-5-21-1-2-3-1002");
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Qav", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
  HKEY throughUsers = nullptr;
  std::string path = std::string(winsim::kDefaultUserSid) + "\\Software\\Qav";
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, &throughUsers), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD bytes = sizeof value;
  EXPECT_EQ(RegQueryValueExA(throughUsers, "AsioBufferSize", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 512u);
  RegCloseKey(throughUsers);
}

TEST_F(RegistryApiTest, VolatileKeysTakeOnlyVolatileChildren) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QavRun", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            static_cast<LSTATUS>(ERROR_CHILD_MUST_BE_VOLATILE));
  EXPECT_EQ(RegCreateKeyExA(key, "Linked", 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, KeyHandlesBelongToTheirProcess) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav");
  LSTATUS elsewhere = ERROR_SUCCESS;
  auto thread = machine.Threads().Spawn("other process", winsim::ThreadKind::User, 2000, [&] {
    DWORD size = 0;
    elsewhere = RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size);
  });
  machine.RunUntil([&] { return thread->Exited(); }, winsim::kTicksPerSecond);
  EXPECT_EQ(elsewhere, ERROR_INVALID_HANDLE);
  RegCloseKey(key);
}

TEST(RegistryApiState, CurrentUserValuesOutliveTheMachine) {
  const std::string folder = ::testing::TempDir() + "qav_registry_api_state";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  winsim::MachineOptions options;
  options.stateFolder = folder;
  const DWORD written = 256;
  {
    winsim::Machine machine(options);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Qav", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "AsioBufferSize", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&written), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  winsim::Machine machine(options);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Qav", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(key, "AsioBufferSize", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, written);
  RegCloseKey(key);
  std::filesystem::remove_all(folder);
}

}  // namespace
