// A stand-in for the driver object in the factory-template table: a CUnknown
// that answers under the driver's CLSID, and knobs that make its creation
// fail.
#pragma once
#include "uac2common/asiodriver/com_unknown.h"

struct ITestDriver : public IUnknown {
  virtual LONG STDMETHODCALLTYPE Answer() = 0;
};

class CTestDriver : public ITestDriver, public CUnknown {
 public:
  explicit CTestDriver(LPUNKNOWN outer);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
  LONG STDMETHODCALLTYPE Answer() override { return 42; }

  static CUnknown *Create(LPUNKNOWN outer, HRESULT *hr);
};

// The next creation reports this HRESULT (S_OK: none) or returns no object.
extern HRESULT g_testCreateResult;
extern bool g_testCreateReturnsNull;
