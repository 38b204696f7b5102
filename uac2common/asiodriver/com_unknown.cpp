#include "uac2common/asiodriver/com_unknown.h"

#include "uac2common/asiodriver/com_module.h"

CBaseObject::CBaseObject(const char *name) {
  (void)name;
  InterlockedIncrement(&g_cActiveObjects);
}

CBaseObject::~CBaseObject() { InterlockedDecrement(&g_cActiveObjects); }

CUnknown::CUnknown(const char *name, LPUNKNOWN outer)
    : CBaseObject(name), m_inner(this), m_pUnknown(outer != nullptr ? outer : &m_inner), m_cRef(0) {}

HRESULT CUnknown::GetInterface(LPUNKNOWN unknown, void **ppv) {
  *ppv = unknown;
  unknown->AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) return GetInterface(&m_inner, ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
  LONG count = InterlockedIncrement(&m_cRef);
  return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
  LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) {
    // Parked at 1 so that an AddRef/Release pair made while the destructor
    // runs cannot bring the count to 0 again and delete twice.
    m_cRef = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count > 1 ? count : 1);
}
