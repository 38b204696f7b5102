// The COM entry points of the module: the class object and the unload query.
#include <new>

#include "uac2common/asiodriver/class_factory.h"
#include "uac2common/asiodriver/com_exports.h"
#include "uac2common/asiodriver/com_module.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  for (int i = 0; i < g_cTemplates; ++i) {
    const CFactoryTemplate *entry = &g_Templates[i];
    if (!IsEqualCLSID(rclsid, *entry->m_ClsID)) continue;
    CClassFactory *factory = new (std::nothrow) CClassFactory(entry);
    *ppv = static_cast<IClassFactory *>(factory);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow(void) {
  if (g_cServerLocks > 0 || g_cActiveObjects != 0) return S_FALSE;
  return S_OK;
}
