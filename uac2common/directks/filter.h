// CKsFilter: a kernel-streaming filter opened by its device path. It creates
// a CKsPin for each of the filter's pins and sorts them by data flow and
// communication, and reads the topology nodes. The filter owns its handle,
// its pins and its nodes; users borrow pins by plain pointer, and pins live
// exactly as long as their filter. Not locked: the owner creates, enumerates
// and destroys on one thread; other threads only send requests.
#pragma once
#include "uac2common/directks/irptgt.h"
#include "uac2common/directks/node.h"
#include "uac2common/directks/tlist.h"

class CKsPin;

class CKsFilter : public CKsIrpTarget {
 public:
  // Stores the path (cut to 259 characters); no handle yet. A null path is
  // E_INVALIDARG.
  CKsFilter(LPCSTR pszName, HRESULT *phr);
  // Deletes pins and nodes, then closes the handle.
  ~CKsFilter() override;

  // Opens the device path for overlapped I/O.
  virtual HRESULT Instantiate();
  virtual HRESULT EnumerateNodes();
  virtual HRESULT EnumeratePins();
  // Deletes every node and pin and empties all lists; always S_OK.
  virtual HRESULT DestroyLists();

  // Fills the classified lists (emptied first) from the list of all pins.
  HRESULT ClassifyPins();

  // Pin properties through a KSP_PIN {set, id, GET, pin id, 0}.
  HRESULT GetPinPropertySimple(ULONG pinId, REFGUID set, ULONG id, PVOID value, ULONG valueSize);
  // Two-step list read. The KSMULTIPLE_ITEM is the caller's, to free with
  // CKsIrpTarget::FreeBuffer; its Size is checked to lie within what was read.
  HRESULT GetPinPropertyMulti(ULONG pinId, REFGUID set, ULONG id, PKSMULTIPLE_ITEM *items);

  LPCSTR GetFilterName() const { return m_szFilterName; }
  LPCSTR GetFriendlyName() const { return m_szFriendlyName; }
  // A truncating copy (at most 259 characters and the terminator).
  void SetFriendlyName(LPCSTR name);

  const TList<CKsNode> &GetNodes() const { return m_lstNodes; }
  const TList<CKsPin> &GetPins() const { return m_lstPins; }
  // Data flow in, communication sink: the render pins.
  const TList<CKsPin> &GetInSinkPins() const { return m_lstInSinkPins; }
  const TList<CKsPin> &GetOutSourcePins() const { return m_lstOutSourcePins; }
  // Data flow out, communication sink: the capture pins.
  const TList<CKsPin> &GetOutSinkPins() const { return m_lstOutSinkPins; }
  const TList<CKsPin> &GetInSourcePins() const { return m_lstInSourcePins; }
  const TList<CKsPin> &GetNoCommPins() const { return m_lstNoCommPins; }

 protected:
  void InternalInit();
  // The pin count (KSPROPERTY_PIN_CTYPES).
  HRESULT GetPinCount(PULONG count);
  void DeletePins();
  // Lists 3 to 7 emptied (they borrow from m_lstPins).
  void ClearClassifiedLists();
  bool HasClassifiedPins() const;

  TList<CKsNode> m_lstNodes;
  TList<CKsPin> m_lstPins;
  TList<CKsPin> m_lstInSinkPins;
  TList<CKsPin> m_lstOutSourcePins;
  TList<CKsPin> m_lstOutSinkPins;
  TList<CKsPin> m_lstInSourcePins;
  TList<CKsPin> m_lstNoCommPins;
  CHAR m_szFilterName[MAX_PATH];
  CHAR m_szFriendlyName[MAX_PATH];
};

// Copies text into a buffer of `size` bytes, cut to size - 1 characters and
// terminated.
void KsCopyString(LPSTR destination, size_t size, LPCSTR source);
