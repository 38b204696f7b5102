// Self-registration run in the module as regsvr32 runs it, activation by
// CLSID through COM, unregistration, and the failure codes.
#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "asiodriver/test_driver_object.h"
#include "uac2common/asiodriver/com_exports.h"
#include "uac2common/asiodriver/com_module.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/asiodriver/registration.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"
#include "winsim/user/message_box.h"
#include "winsim/user/user_faults.h"

namespace {

constexpr char kClsidKey[] = "CLSID\\{CD0272B3-C970-4B65-875A-2EF90FE22902}";
constexpr char kServerKey[] = "CLSID\\{CD0272B3-C970-4B65-875A-2EF90FE22902}\\InprocServer32";
constexpr char kAsioKey[] = "SOFTWARE\\ASIO\\Quorvin Tessarin ASIO";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

bool KeyExists(HKEY root, const std::string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The string value, or "<none>".
std::string Value(HKEY root, const std::string &path, const char *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none>";
  char data[512] = {};
  DWORD bytes = sizeof data - 1;
  DWORD type = 0;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "<none>";
  return std::string(data, bytes);
}

void SetValue(HKEY root, const std::string &path, const char *name, const std::string &text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()), static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

typedef HRESULT(STDAPICALLTYPE *ServerFn)(void);

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryA(QAV_ASIOCOM_TEST_MODULE);
    ASSERT_NE(module, nullptr);
    path = std::filesystem::canonical(QAV_ASIOCOM_TEST_MODULE).string();
  }
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
  }
  HRESULT Call(const char *name) {
    auto fn = reinterpret_cast<ServerFn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return fn != nullptr ? fn() : E_NOTIMPL;
  }
  int Register(const std::string &modulePath) {
    return RegisterAsioDriver(CLSID_QZUsb2Asio, modulePath.c_str(), kAsioDriverName, kAsioDriverName, "Apartment");
  }

  winsim::Machine machine;
  HMODULE module = nullptr;
  std::string path;
};

TEST_F(RegistrationTest, RegisteredModuleIsCreatedByClsidThroughCom) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kClsidKey, nullptr), std::string(kAsioDriverName) + '\0');
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, nullptr), Lower(path) + '\0');
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel"), std::string("Apartment") + '\0');
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kAsioKey, "CLSID"), std::string("{CD0272B3-C970-4B65-875A-2EF90FE22902}") + '\0');
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kAsioKey, "Description"), std::string(kAsioDriverName) + '\0');

  // As an ASIO host does: the interface id is the CLSID.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  ITestDriver *driver = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_QZUsb2Asio, nullptr, CLSCTX_INPROC_SERVER, CLSID_QZUsb2Asio,
                             reinterpret_cast<void **>(&driver)),
            S_OK);
  EXPECT_EQ(driver->Answer(), 42);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE);
  driver->Release();
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK);
  CoUninitialize();
  EXPECT_TRUE(winsim::MessageBoxes().empty());
}

TEST_F(RegistrationTest, ExistingAsioKeyCountsAsRegisteredAndNothingIsWritten) {
  SetValue(HKEY_LOCAL_MACHINE, kAsioKey, "CLSID", "{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kAsioKey, "CLSID"), std::string("{00000000-0000-0000-0000-000000000000}") + '\0');
}

struct ExistingClass {
  const char *what;
  bool samePath;  // the stored server path is this module's, in upper case
  bool classTreeKept;
};

TEST_F(RegistrationTest, ExistingClassTreeIsKeptOnlyForTheSameModule) {
  const ExistingClass cases[] = {
      {"same module, other case", true, true},
      {"another module", false, false},
  };
  for (const ExistingClass &test : cases) {
    SetValue(HKEY_CLASSES_ROOT, kServerKey, nullptr, test.samePath ? Upper(path) : "c:\\old\\qavasio.dll");
    SetValue(HKEY_CLASSES_ROOT, std::string(kClsidKey) + "\\Marker\\Deep", nullptr, "x");
    SetValue(HKEY_LOCAL_MACHINE, kAsioKey, "Stale", "x");
    SetValue(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Control Panel", "x", "y");
    EXPECT_EQ(Register(path), 0) << test.what;
    EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, std::string(kClsidKey) + "\\Marker"), test.classTreeKept) << test.what;
    const std::string server = test.samePath ? Upper(path) : Lower(path);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, nullptr), server + '\0') << test.what;
    // The ASIO key is rewritten from scratch either way.
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kAsioKey, "Stale"), "<none>") << test.what;
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Control Panel")) << test.what;
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kAsioKey, "Description"), std::string(kAsioDriverName) + '\0') << test.what;
  }
}

TEST_F(RegistrationTest, UnregistrationRemovesBothTrees) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  SetValue(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Control Panel", "mixer", "mixer.exe");
  SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver", "CLSID", "{x}");
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver"));
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK) << "nothing left to remove";
  EXPECT_TRUE(winsim::MessageBoxes().empty());
}

struct FailureCode {
  const char *fault;  // API made to fail, or null
  bool loaded;        // the module path names a loaded module
  int expected;
};

TEST_F(RegistrationTest, EachFailureCodeIsReachedByBothRoutines) {
  const FailureCode cases[] = {
      {nullptr, false, kRegModuleNotLoaded},
      {"GetModuleFileNameA", true, kRegNoModuleFileName},
      {"StringFromCLSID", true, kRegClsidNotConverted},
      {"WideCharToMultiByte", true, kRegClsidTextNotConverted},
  };
  const std::string notLoaded = path + ".not-loaded";
  for (const FailureCode &test : cases) {
    const std::string &target = test.loaded ? path : notLoaded;
    if (test.fault != nullptr) winsim::FailUserApi(test.fault);
    EXPECT_EQ(Register(target), test.expected) << (test.fault ? test.fault : "not loaded");
    if (test.fault != nullptr) winsim::FailUserApi(test.fault);
    EXPECT_EQ(UnregisterAsioDriver(CLSID_QZUsb2Asio, target.c_str(), kAsioDriverName), test.expected);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioKey));
  }
}

TEST_F(RegistrationTest, FailuresAreShownToTheUserAndReportedAsMinusOne) {
  // This program's own copy of the exports: its module path names no loaded module.
  g_szModulePath[0] = '\0';
  EXPECT_EQ(DllRegisterServer(), static_cast<HRESULT>(0xFFFFFFFF));
  EXPECT_EQ(DllUnregisterServer(), static_cast<HRESULT>(0xFFFFFFFF));
  auto boxes = winsim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Register Server failed ! (-101)");
  EXPECT_EQ(boxes[1].text, "Unregister Server failed ! (-101)");
  for (const auto &box : boxes) {
    EXPECT_EQ(box.caption, kAsioDriverName);
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  }
}

TEST(ModuleAttach, ModuleWithoutItsFileNameRefusesToLoad) {
  winsim::Machine machine;
  winsim::FailUserApi("GetModuleFileNameA");
  EXPECT_EQ(LoadLibraryA(QAV_ASIOCOM_TEST_MODULE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(winsim::DebugLog::Count("GetModuleFileName failed (8)"), 1u);
  HMODULE module = LoadLibraryA(QAV_ASIOCOM_TEST_MODULE);
  ASSERT_NE(module, nullptr) << "the next load succeeds";
  EXPECT_EQ(winsim::DebugLog::Count("ASIO: DllMain(): DLL_PROESS_ATTACH"), 2u);
  EXPECT_EQ(winsim::DebugLog::Count("TDL Failed to open!!"), 2u) << "no logger: the load goes on";
  FreeLibrary(module);
}

}  // namespace

namespace {

TEST(ModuleAttach, AttachRecordsTheModuleAndDetachForgetsIt) {
  winsim::Machine machine;
  HMODULE module = LoadLibraryA(QAV_ASIOCOM_TEST_MODULE);
  ASSERT_NE(module, nullptr);
  // This program's copy of the entry point, told it is that module.
  EXPECT_TRUE(DllMain(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_ATTACH, nullptr));
  EXPECT_EQ(g_hInst, module);
  EXPECT_EQ(std::string(g_szModulePath), std::filesystem::canonical(QAV_ASIOCOM_TEST_MODULE).string());
  EXPECT_TRUE(DllMain(reinterpret_cast<HINSTANCE>(module), DLL_THREAD_ATTACH, nullptr));
  EXPECT_TRUE(DllMain(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_DETACH, nullptr));
  EXPECT_EQ(g_hInst, nullptr);
  EXPECT_EQ(g_szModulePath[0], '\0');
  FreeLibrary(module);
}

}  // namespace
