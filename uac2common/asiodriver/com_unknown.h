// The reference-counted COM object base of the ASIO driver. A COM object of
// the driver derives from CUnknown; its interfaces' IUnknown methods forward
// to the owning unknown (the outer one when aggregated, else the object's own
// non-delegating unknown). Counts are interlocked: hosts may call from any
// thread.
#pragma once
#include <windows.h>
#include <objbase.h>

// The IUnknown of the object itself, never delegated to an outer unknown.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void **ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};
typedef INonDelegatingUnknown *PNDUNKNOWN;

// Counts the module's live objects: DllCanUnloadNow refuses while any exists.
class CBaseObject {
 public:
  explicit CBaseObject(const char *name);
  ~CBaseObject();
  CBaseObject(const CBaseObject &) = delete;
  CBaseObject &operator=(const CBaseObject &) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // name is not stored; outer null means the object owns itself.
  CUnknown(const char *name, LPUNKNOWN outer);
  virtual ~CUnknown() = default;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // The unknown the interfaces' IUnknown methods forward to.
  LPUNKNOWN GetOwner() const { return m_pUnknown; }

 protected:
  // Hands out `unknown` AddRef'ed in *ppv: the usual tail of a QueryInterface.
  static HRESULT GetInterface(LPUNKNOWN unknown, void **ppv);

 private:
  // The non-delegating unknown in IUnknown's own type: the object's identity
  // (IID_IUnknown), the owner of an object that is not aggregated, and what
  // an aggregating object holds. Callers reach the non-delegating methods
  // through a real IUnknown, never through a reinterpreted pointer.
  class CInnerUnknown : public IUnknown {
   public:
    explicit CInnerUnknown(CUnknown *object) : m_pObject(object) {}
    virtual ~CInnerUnknown() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
      return m_pObject->NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_pObject->NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_pObject->NonDelegatingRelease(); }

   private:
    CUnknown *m_pObject;
  };

  CInnerUnknown m_inner;
  LPUNKNOWN m_pUnknown;
  volatile LONG m_cRef;
};

// What the class factory creates objects from: one entry per CLSID the module
// serves. create returns the new object's non-delegating unknown, or null,
// and may report a failure through *hr (preset to S_OK).
typedef CUnknown *(*LPFNNewCOMObject)(LPUNKNOWN outer, HRESULT *hr);
typedef void (*LPFNInitRoutine)(BOOL loading, const CLSID *clsid);

struct CFactoryTemplate {
  const WCHAR *m_Name;
  const CLSID *m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
};

// The module's table, defined once by the module (its count beside it).
extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;
