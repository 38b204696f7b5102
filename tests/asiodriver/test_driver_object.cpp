// The factory-template table of the test program (and of the test module
// built from the COM server's sources).
#include "test_driver_object.h"

#include <new>

#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/wstr.h"

HRESULT g_testCreateResult = S_OK;
bool g_testCreateReturnsNull = false;

CFactoryTemplate g_Templates[] = {{QAV_W("QZUsb2Asio"), &CLSID_QZUsb2Asio, CTestDriver::Create, nullptr}};
int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];

CTestDriver::CTestDriver(LPUNKNOWN outer) : CUnknown(QZUSB2ASIO_CLSID_TEXT, outer) {}

HRESULT STDMETHODCALLTYPE CTestDriver::QueryInterface(REFIID riid, void **ppv) {
  return GetOwner()->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE CTestDriver::AddRef() { return GetOwner()->AddRef(); }
ULONG STDMETHODCALLTYPE CTestDriver::Release() { return GetOwner()->Release(); }

HRESULT STDMETHODCALLTYPE CTestDriver::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (ppv != nullptr && IsEqualIID(riid, CLSID_QZUsb2Asio)) return GetInterface(static_cast<ITestDriver *>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

CUnknown *CTestDriver::Create(LPUNKNOWN outer, HRESULT *hr) {
  if (g_testCreateReturnsNull) return nullptr;
  *hr = g_testCreateResult;
  return new (std::nothrow) CTestDriver(outer);
}
