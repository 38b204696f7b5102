// The class factory DllGetClassObject hands out: creates the objects of one
// factory-template entry. Its own count is a plain one (a factory is used on
// the thread that asked for it).
#pragma once
#include "uac2common/asiodriver/com_unknown.h"

class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const CFactoryTemplate *entry) : m_cRef(0), m_pTemplate(entry) {}
  virtual ~CClassFactory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  LONG m_cRef;
  const CFactoryTemplate *m_pTemplate;
};
