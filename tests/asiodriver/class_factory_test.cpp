// The COM server's class object, factory and object base, called as a host
// (through COM) calls them.
#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>

#include "asiodriver/test_driver_object.h"
#include "uac2common/asiodriver/com_exports.h"
#include "uac2common/asiodriver/com_module.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "winsim/machine.h"

namespace {

// {0D1E2F30-4152-6374-8596-A7B8C9DAEBFC}: a class the module does not serve.
constexpr GUID kOtherClsid = {0x0d1e2f30, 0x4152, 0x6374, {0x85, 0x96, 0xa7, 0xb8, 0xc9, 0xda, 0xeb, 0xfc}};

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_testCreateResult = S_OK;
    g_testCreateReturnsNull = false;
    ASSERT_EQ(g_cActiveObjects, 0);
    ASSERT_EQ(g_cServerLocks, 0);
  }
  void TearDown() override {
    EXPECT_EQ(g_cActiveObjects, 0) << "every object was destroyed";
    g_cServerLocks = 0;
  }
  IClassFactory *Factory() {
    IClassFactory *factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_QZUsb2Asio, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    return factory;
  }
  winsim::Machine machine;
};

struct ClassObjectCase {
  const char *what;
  const GUID *clsid;
  const GUID *iid;
  HRESULT expected;
};

TEST_F(ClassFactoryTest, ClassObjectOnlyForTheDriverClassAndFactoryInterfaces) {
  const ClassObjectCase cases[] = {
      {"factory interface", &CLSID_QZUsb2Asio, &IID_IClassFactory, S_OK},
      {"IUnknown", &CLSID_QZUsb2Asio, &IID_IUnknown, S_OK},
      {"another interface", &CLSID_QZUsb2Asio, &IID_IDispatch, E_NOINTERFACE},
      {"another class", &kOtherClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const ClassObjectCase &test : cases) {
    IUnknown *object = nullptr;
    EXPECT_EQ(DllGetClassObject(*test.clsid, *test.iid, reinterpret_cast<void **>(&object)), test.expected)
        << test.what;
    if (object != nullptr) {
      EXPECT_EQ(object->Release(), 0u) << test.what << ": the caller held the only reference";
    }
  }
}

TEST_F(ClassFactoryTest, FactoryAnswersItsInterfacesOnly) {
  IClassFactory *factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  void *other = reinterpret_cast<void *>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  IUnknown *unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)), S_OK);
  EXPECT_EQ(unknown, factory);
  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_EQ(factory->Release(), 0u);
}

struct CreateCase {
  const char *what;
  bool outer;
  const GUID *iid;
  HRESULT reported;  // by the create function
  bool returnsNull;
  HRESULT expected;
};

TEST_F(ClassFactoryTest, CreateInstanceFailuresLeaveNoObjectBehind) {
  const CreateCase cases[] = {
      {"outer unknown with the driver interface", true, &CLSID_QZUsb2Asio, S_OK, false, E_NOINTERFACE},
      {"outer unknown with IDispatch", true, &IID_IDispatch, S_OK, false, E_NOINTERFACE},
      {"no object", false, &CLSID_QZUsb2Asio, S_OK, true, E_OUTOFMEMORY},
      {"creation reports a failure", false, &CLSID_QZUsb2Asio, E_FAIL, false, E_FAIL},
      {"interface the object lacks", false, &IID_IDispatch, S_OK, false, E_NOINTERFACE},
  };
  IClassFactory *factory = Factory();
  ASSERT_NE(factory, nullptr);
  for (const CreateCase &test : cases) {
    g_testCreateResult = test.reported;
    g_testCreateReturnsNull = test.returnsNull;
    void *object = nullptr;
    IUnknown *outerUnknown = test.outer ? reinterpret_cast<IUnknown *>(factory) : nullptr;
    EXPECT_EQ(factory->CreateInstance(outerUnknown, *test.iid, &object), test.expected) << test.what;
    EXPECT_EQ(object, nullptr) << test.what;
    EXPECT_EQ(g_cActiveObjects, 0) << test.what << ": the fresh object was destroyed";
  }
  EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_QZUsb2Asio, nullptr), E_POINTER);
  factory->Release();
}

TEST_F(ClassFactoryTest, CreatedObjectHoldsOneReferenceAndAnswersUnderTheClsid) {
  IClassFactory *factory = Factory();
  ITestDriver *driver = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_QZUsb2Asio, reinterpret_cast<void **>(&driver)), S_OK);
  factory->Release();
  EXPECT_EQ(driver->Answer(), 42);
  EXPECT_EQ(g_cActiveObjects, 1);
  IUnknown *identity = nullptr;
  EXPECT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
  EXPECT_EQ(driver->AddRef(), 3u);
  EXPECT_EQ(driver->Release(), 2u);
  EXPECT_EQ(identity->Release(), 1u);
  void *dispatch = reinterpret_cast<void *>(1);
  EXPECT_EQ(driver->QueryInterface(IID_IDispatch, &dispatch), E_NOINTERFACE);
  EXPECT_EQ(dispatch, nullptr);
  EXPECT_EQ(driver->QueryInterface(CLSID_QZUsb2Asio, nullptr), E_POINTER);
  EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(ClassFactoryTest, AggregatedObjectIsHandedOutAsItsInnerUnknown) {
  IClassFactory *factory = Factory();
  IUnknown *inner = nullptr;
  // The factory stands in as the outer object: the inner one must only store it.
  ASSERT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void **>(&inner)), S_OK);
  EXPECT_EQ(g_cActiveObjects, 1);
  // The inner unknown does not delegate: it answers for the object itself.
  ITestDriver *driver = nullptr;
  EXPECT_EQ(inner->QueryInterface(CLSID_QZUsb2Asio, reinterpret_cast<void **>(&driver)), S_OK);
  EXPECT_EQ(driver->Answer(), 42);
  // The driver interface's IUnknown methods go to the outer object (the factory).
  IUnknown *viaOuter = nullptr;
  EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, reinterpret_cast<void **>(&viaOuter)), S_OK);
  EXPECT_EQ(viaOuter, factory);
  viaOuter->Release();
  driver->Release();  // went to the outer object, which the query had AddRef'ed
  EXPECT_EQ(g_cActiveObjects, 1);
  EXPECT_EQ(inner->Release(), 0u);
  factory->Release();
}

TEST_F(ClassFactoryTest, ModuleStaysLoadedWhileAnObjectOrALockExists) {
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  IClassFactory *factory = Factory();
  IUnknown *object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "an object lives";
  object->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "the server is locked";
  EXPECT_EQ(g_cServerLocks, 1);
  IClassFactory *again = Factory();
  EXPECT_EQ(again->LockServer(FALSE), S_OK);
  again->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
