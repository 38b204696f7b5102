// winsim's COM: apartments, in-process activation through the registry with
// a real server module, CLSID strings, and what COM refuses.
#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>

#include <string>

#include "testmodules/test_server.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"
#include "winsim/user/ole32_com.h"

namespace {

constexpr char kServerKey[] = "CLSID\\{5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A71}\\InprocServer32";

void RegisterServer(const std::string &path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  // Without its terminating zero, as some installers write it.
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.data()), static_cast<DWORD>(path.size()));
  RegCloseKey(key);
}

TEST(Ole32, CreatesARegisteredObjectFromItsServerAndUnloadsItWithTheLastApartment) {
  winsim::Machine machine;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  RegisterServer(WINSIM_TEST_SERVER);
  IUnknown *object = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  ASSERT_NE(object, nullptr);
  HMODULE server = GetModuleHandleA(WINSIM_TEST_SERVER);
  ASSERT_NE(server, nullptr) << "COM loaded the server";
  auto objects = reinterpret_cast<TestServerObjectsFn>(reinterpret_cast<void *>(GetProcAddress(server, "TestServerObjects")));
  EXPECT_EQ(objects(), 1);
  void *dispatch = reinterpret_cast<void *>(1);
  EXPECT_EQ(object->QueryInterface(IID_IDispatch, &dispatch), E_NOINTERFACE);
  EXPECT_EQ(dispatch, nullptr);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(objects(), 0);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  CoUninitialize();
  EXPECT_NE(GetModuleHandleA(WINSIM_TEST_SERVER), nullptr) << "the apartment is still initialized once";
  CoUninitialize();
  EXPECT_EQ(GetModuleHandleA(WINSIM_TEST_SERVER), nullptr);
  EXPECT_EQ(winsim::DebugLog::Count("while it has live objects"), 0u);
}

struct Refusal {
  const char *what;
  bool initialize;
  const char *registeredPath;  // null: class not registered
  DWORD context;
  HRESULT expected;
};

TEST(Ole32, CoCreateInstanceRefusesWhatComRefuses) {
  const std::string missing = std::string(WINSIM_TEST_SERVER) + ".missing";
  const Refusal cases[] = {
      {"COM not initialized on the thread", false, WINSIM_TEST_SERVER, CLSCTX_INPROC_SERVER, CO_E_NOTINITIALIZED},
      {"class not registered", true, nullptr, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
      {"only a local server asked for", true, WINSIM_TEST_SERVER, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
      {"server file missing", true, missing.c_str(), CLSCTX_INPROC_SERVER, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {"server refuses to attach", true, WINSIM_REFUSING_SERVER, CLSCTX_INPROC_SERVER,
       HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED)},
  };
  for (const Refusal &refusal : cases) {
    winsim::Machine machine;
    if (refusal.initialize) {
      ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    if (refusal.registeredPath != nullptr) RegisterServer(refusal.registeredPath);
    void *object = reinterpret_cast<void *>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, refusal.context, IID_IUnknown, &object),
              refusal.expected)
        << refusal.what;
    EXPECT_EQ(object, nullptr) << refusal.what;
    if (refusal.initialize) CoUninitialize();
  }
}

TEST(Ole32, ApartmentRulesAndUnbalancedUninitialize) {
  winsim::Machine machine;
  // A wrong routine: leaves COM once more than it entered.
  CoUninitialize();
  EXPECT_EQ(winsim::DebugLog::Count("CoUninitialize on a thread that did not initialize COM"), 1u);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(winsim::InitializedComThreads(), 1);
  CoUninitialize();
  EXPECT_EQ(winsim::InitializedComThreads(), 0);
}

TEST(Ole32, UnloadingAServerWithLiveObjectsIsNoted) {
  winsim::Machine machine;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  RegisterServer(WINSIM_TEST_SERVER);
  IUnknown *object = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  CoFreeUnusedLibraries();
  EXPECT_NE(GetModuleHandleA(WINSIM_TEST_SERVER), nullptr) << "a server in use stays loaded";
  object->Release();
  CoFreeUnusedLibraries();
  EXPECT_EQ(GetModuleHandleA(WINSIM_TEST_SERVER), nullptr);
  // A wrong routine: leaves COM with an object still alive. (The test keeps
  // the server mapped with a load of its own, to release the object after.)
  ASSERT_EQ(CoCreateInstance(CLSID_TestServerObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  HMODULE pin = LoadLibraryA(WINSIM_TEST_SERVER);
  CoUninitialize();
  EXPECT_EQ(winsim::DebugLog::Count("while it has live objects"), 1u);
  object->Release();
  FreeLibrary(pin);
}

TEST(Ole32, ClsidStringsRoundTripAndMalformedOnesAreRefused) {
  winsim::Machine machine;
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(CLSID_TestServerObject, &text), S_OK);
  EXPECT_EQ(std::u16string(text), u"{5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A71}");
  CLSID parsed{};
  EXPECT_EQ(CLSIDFromString(text, &parsed), S_OK);
  EXPECT_EQ(parsed, CLSID_TestServerObject);
  CoTaskMemFree(text);
  EXPECT_EQ(CLSIDFromString(u"{5e0b3f3c-8f1d-4c55-9a3b-6c2d1e0f4a71}", &parsed), S_OK) << "either case";
  const char16_t *malformed[] = {u"",
                                 u"5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A71",
                                 u"{5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A7}",
                                 u"{5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A71}x",
                                 u"{5E0B3F3C-8F1D-4C55-9A3B6C2D1E0F4A71}",
                                 u"{5E0B3F3G-8F1D-4C55-9A3B-6C2D1E0F4A71}"};
  for (const char16_t *text : malformed) {
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING);
  }
}

}  // namespace
