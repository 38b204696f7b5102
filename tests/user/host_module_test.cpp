// winsim's loader with host shared libraries: DllMain at the first load and
// the last free, one handle per module however it is named, and the loads
// Windows refuses.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "testmodules/test_server.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"

namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

template <typename Fn>
Fn Export(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

TEST(HostModules, FirstLoadAttachesLastFreeDetachesAndEveryNameFindsOneHandle) {
  winsim::Machine machine;
  HMODULE module = LoadLibraryA(WINSIM_TEST_SERVER);
  ASSERT_NE(module, nullptr);
  auto attaches = Export<TestServerAttachesFn>(module, "TestServerAttaches");
  auto path = Export<TestServerPathFn>(module, "TestServerPath");
  ASSERT_NE(attaches, nullptr);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(attaches(), 1);
  const std::string canonical = std::filesystem::canonical(WINSIM_TEST_SERVER).string();
  EXPECT_EQ(path(), canonical) << "DllMain asked the loader for its own path";

  // Windows' file names are case-insensitive: another spelling is the same module.
  EXPECT_EQ(LoadLibraryA(Upper(WINSIM_TEST_SERVER).c_str()), module);
  EXPECT_EQ(attaches(), 1) << "a second load does not attach again";
  EXPECT_EQ(GetModuleHandleA(Upper(canonical).c_str()), module);
  EXPECT_EQ(GetModuleHandleA("WINSIM_TEST_SERVER.SO"), module);
  char name[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(module, name, sizeof name), canonical.size());
  EXPECT_EQ(name, canonical);

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(attaches(), 1) << "one load is still counted";
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA(WINSIM_TEST_SERVER), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(FreeLibrary(module)) << "a freed module is no longer a module";
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(HostModules, ModuleFileNameIsCutAndTerminatedWhenTheBufferIsShort) {
  winsim::Machine machine;
  HMODULE module = LoadLibraryA(WINSIM_TEST_SERVER);
  ASSERT_NE(module, nullptr);
  char name[8];
  std::memset(name, 'x', sizeof name);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameA(module, name, sizeof name), sizeof name);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(name), std::filesystem::canonical(WINSIM_TEST_SERVER).string().substr(0, 7));
  EXPECT_TRUE(FreeLibrary(module));
}

struct RefusedLoad {
  const char *what;
  std::string path;
  DWORD error;
};

TEST(HostModules, LoadsWindowsRefusesFailWithItsErrors) {
  winsim::Machine machine;
  const std::string text = (std::filesystem::temp_directory_path() / "winsim_not_a_module.dll").string();
  std::ofstream(text) << "not a module";
  const RefusedLoad cases[] = {
      {"no such file", std::string(WINSIM_TEST_SERVER) + ".missing", ERROR_MOD_NOT_FOUND},
      {"bare name of no system module", "qavnothere.dll", ERROR_MOD_NOT_FOUND},
      {"not an image", text, ERROR_BAD_EXE_FORMAT},
      {"DllMain refuses to attach", WINSIM_REFUSING_SERVER, ERROR_DLL_INIT_FAILED},
  };
  for (const RefusedLoad &refused : cases) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA(refused.path.c_str()), nullptr) << refused.what;
    EXPECT_EQ(GetLastError(), refused.error) << refused.what;
    EXPECT_EQ(GetModuleHandleA(refused.path.c_str()), nullptr) << refused.what << ": nothing stays loaded";
  }
  std::filesystem::remove(text);
}

TEST(HostModules, ExportsAreFoundByNameOnly) {
  winsim::Machine machine;
  HMODULE module = LoadLibraryA(WINSIM_TEST_SERVER);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "DllGetClassObject"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "DllRegisterServer"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr) << "ordinals";
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(HostModules, SystemModulesAreFoundByTheirNames) {
  winsim::Machine machine;
  HMODULE avrt = LoadLibraryA("avrt.dll");
  ASSERT_NE(avrt, nullptr);
  EXPECT_NE(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsA"), nullptr);
  EXPECT_EQ(GetModuleHandleA("AVRT.DLL"), avrt);
  char name[MAX_PATH];
  EXPECT_GT(GetModuleFileNameA(avrt, name, sizeof name), 0u);
  EXPECT_STREQ(name, "C:\\Windows\\System32\\avrt.dll");
  EXPECT_TRUE(FreeLibrary(avrt));
}

}  // namespace
