#include "uac2common/asiodriver/class_factory.h"

#include <new>

#include "uac2common/asiodriver/com_module.h"

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory *>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  LONG count = --m_cRef;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown *outer, REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  // An aggregated object is only ever handed out as its non-delegating unknown.
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
  HRESULT hr = S_OK;
  CUnknown *object = m_pTemplate->m_lpfnNew(outer, &hr);
  if (object == nullptr) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  // The AddRef/Release pair around the query destroys the object when the
  // query fails, and leaves exactly the caller's reference when it succeeds.
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(riid, ppv);
  object->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock != FALSE) {
    ++g_cServerLocks;
  } else {
    --g_cServerLocks;
  }
  return S_OK;
}
