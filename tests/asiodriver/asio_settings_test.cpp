// The per-user preferred buffer size: default, round trip, values stored by
// other means, and reads that must not create the key.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "uac2common/asiodriver/asio_settings.h"
#include "winsim/machine.h"

namespace {

bool SettingsKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tessarin", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void Store(DWORD type, const std::vector<BYTE> &data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kAsioSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, kAsioBufferSizeValue, 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
}

TEST(AsioSettings, FreshUserGetsTheDefaultWithoutAKeyBeingCreated) {
  winsim::Machine machine;
  EXPECT_EQ(ReadPreferredBufferSize(), 256u);
  EXPECT_FALSE(SettingsKeyExists());
}

TEST(AsioSettings, WrittenSizeIsReadBack) {
  winsim::Machine machine;
  WritePreferredBufferSize(512);
  EXPECT_TRUE(SettingsKeyExists());
  EXPECT_EQ(ReadPreferredBufferSize(), 512u);
  WritePreferredBufferSize(64);
  EXPECT_EQ(ReadPreferredBufferSize(), 64u);
}

struct Stored {
  const char *what;
  DWORD type;
  std::vector<BYTE> data;
  DWORD expected;
};

TEST(AsioSettings, ValuesStoredByOtherMeans) {
  const Stored cases[] = {
      {"below the offered sizes", REG_DWORD, {8, 0, 0, 0}, 8},
      {"above the offered sizes", REG_DWORD, {0x10, 0x27, 0, 0}, 10000},
      {"four bytes of another type", REG_BINARY, {0, 2, 0, 0}, 512},
      {"too wide to be a size", REG_BINARY, {0, 1, 0, 0, 0, 0, 0, 0}, 256},
      {"too short to be a size", REG_BINARY, {0, 2}, 256},
  };
  for (const Stored &test : cases) {
    winsim::Machine machine;
    Store(test.type, test.data);
    EXPECT_EQ(ReadPreferredBufferSize(), test.expected) << test.what;
  }
}

}  // namespace
