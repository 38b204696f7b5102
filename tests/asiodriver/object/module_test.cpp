// The QavAsio module as a host meets it: loaded by path, registered, its
// driver object created through COM by CLSID and driven through IASIO.
#include "asio_machine.h"
//
#include <objbase.h>

#include "uac2common/asiodriver/driver_clsid.h"

namespace asiotest {
namespace {

using ServerFunction = HRESULT(STDAPICALLTYPE *)(void);

class AsioModule : public AsioMachineTest {
 protected:
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
    AsioMachineTest::TearDown();
  }
  HRESULT Call(const char *name) {
    auto function = reinterpret_cast<ServerFunction>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return function != nullptr ? function() : E_NOTIMPL;
  }
  HMODULE module = nullptr;
};

TEST_F(AsioModule, HostCreatesTheDriverThroughComAndStreamsNothingWithoutBuffers) {
  Plug("Rowan");
  module = LoadLibraryA(QAV_ASIO_MODULE);
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  IASIO *driver = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_QZUsb2Asio, nullptr, CLSCTX_INPROC_SERVER, CLSID_QZUsb2Asio,
                             reinterpret_cast<void **>(&driver)),
            S_OK);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->init(nullptr), ASIOTrue);
  LONG inputs = 0, outputs = 0;
  EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 8);
  EXPECT_EQ(outputs, 6);
  char name[32] = {};
  driver->getDriverName(name);
  EXPECT_STREQ(name, "Quorvin Tessarin ASIO");
  EXPECT_EQ(driver->start(), ASE_InvalidMode);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE) << "the driver object lives";
  driver->Release();
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK);
  CoUninitialize();
}

}  // namespace
}  // namespace asiotest
