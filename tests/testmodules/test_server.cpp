// A minimal in-process COM server: one class whose objects answer IUnknown
// only. Its entry point asks the loader for its own path, as real servers do.
#include <windows.h>

#include <objbase.h>

#include "test_server.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

char g_path[MAX_PATH];
LONG g_attached = 0;
volatile LONG g_objects = 0;
volatile LONG g_locks = 0;

class Object : public IUnknown {
 public:
  Object() { InterlockedIncrement(&g_objects); }
  virtual ~Object() { InterlockedDecrement(&g_objects); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

 private:
  volatile LONG m_refs = 0;
};

class Factory : public IClassFactory {
 public:
  virtual ~Factory() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Object *object = new Object;
    object->AddRef();
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_locks);
    } else {
      InterlockedDecrement(&g_locks);
    }
    return S_OK;
  }

 private:
  volatile LONG m_refs = 0;
};

}  // namespace

TEST_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    ++g_attached;
    if (GetModuleFileNameA(hinstance, g_path, sizeof g_path) == 0) return FALSE;
#ifdef TEST_SERVER_REFUSES_ATTACH
    return FALSE;
#endif
  }
  if (reason == DLL_PROCESS_DETACH) --g_attached;
  return TRUE;
}

TEST_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_TestServerObject)) return CLASS_E_CLASSNOTAVAILABLE;
  Factory *factory = new Factory;
  factory->AddRef();
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

TEST_EXPORT HRESULT DllCanUnloadNow(void) { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

TEST_EXPORT const char *TestServerPath(void) { return g_path; }
TEST_EXPORT LONG TestServerAttaches(void) { return g_attached; }
TEST_EXPORT LONG TestServerObjects(void) { return g_objects; }
