// CKsPin: one pin of a filter. Construction reads the pin's descriptor
// properties from the filter; Instantiate creates a pin instance from the
// connection request through KsCreatePin. The pin then changes state, resets
// and queues stream reads and writes. Pins are created and deleted by their
// filter; the pin handle is closed by ClosePin or the destructor.
#pragma once
#include "uac2common/directks/irptgt.h"

class CKsFilter;

enum KsPinType : ULONG { KsPinTypePlain = 0, KsPinTypeRender = 1, KsPinTypeCapture = 2 };

// What the descriptor properties said. The item addresses point into the
// owned KSMULTIPLE_ITEM buffers, 8 bytes after their start; the counts are
// bounded by what those buffers hold.
struct KsPinDescriptor {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE *Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM *Mediums;
  ULONG DataRangesCount;
  const KSDATARANGE *DataRanges;
  ULONG DataFlow;
  ULONG Communication;
  KSPIN_CINSTANCES CInstances;
  KSPIN_CINSTANCES CInstancesGlobal;
  PKSMULTIPLE_ITEM DataRangesItem;
  PKSMULTIPLE_ITEM MediumsItem;
  PKSMULTIPLE_ITEM InterfacesItem;
};

class CKsPin : public CKsIrpTarget {
 public:
  // Status: Init's result (S_OK, or S_FALSE when a query failed).
  CKsPin(CKsFilter *filter, ULONG pinId, HRESULT *phr);
  // Closes the pin, frees the request and the descriptor buffers.
  ~CKsPin() override;

  // Creates the pin instance (KSINTERFACE_STANDARD_LOOPED_STREAMING when
  // looped is non-zero). S_OK at once, with no pin created, without a
  // connection request.
  virtual HRESULT Instantiate(ULONG looped);
  // KSPROPERTY_CONNECTION_STATE; the state is remembered on success.
  virtual HRESULT SetState(KSSTATE state);

  // Reads the nine descriptor properties; S_FALSE when any of them failed
  // (the pin is never rejected here).
  HRESULT Init();
  // KSSTATE_STOP, then the handle closed. The pin can be instantiated again.
  void ClosePin();
  HRESULT GetState(PKSSTATE state);
  // KSRESET_BEGIN, then KSRESET_END; the second request's result.
  HRESULT Reset();
  // KSPROPERTY_CONNECTION_DATAFORMAT on the open pin.
  HRESULT SetFormat(PKSDATAFORMAT format);
  // Replaces the connection request with a copy. The request must hold a
  // KSPIN_CONNECT and a KSDATAFORMAT whose FormatSize lies within it.
  HRESULT SetPinConnect(PKSPIN_CONNECT connect, ULONG size);
  // Queue one stream request on the caller's OVERLAPPED: S_OK when it
  // completed or is pending (the caller waits on its own event).
  HRESULT ReadData(PKSSTREAM_HEADER header, LPOVERLAPPED overlapped);
  HRESULT WriteData(PKSSTREAM_HEADER header, LPOVERLAPPED overlapped);
  HRESULT CancelPendingIo();

  ULONG GetId() const { return m_ulPinId; }
  KsPinType GetType() const { return m_PinType; }
  KsPinDescriptor *GetPinDescriptor() { return &m_Descriptor; }
  const KsPinDescriptor &GetDescriptor() const { return m_Descriptor; }
  HRESULT GetCommunication(PULONG communication) const;
  HRESULT GetDataFlow(PULONG dataFlow) const;
  // True if a data range of the pin has that Specifier.
  bool HasDataRangeWithSpecifier(const GUID *specifier) const;
  KSSTATE GetCurrentState() const { return m_State; }
  const GUID &GetCategory() const { return m_guidCategory; }
  // The pin's name as UTF-16 (empty when the filter gave none).
  const WCHAR *GetName() const { return m_szPinName; }
  CKsFilter *GetFilter() const { return m_pFilter; }
  // The pin the next Instantiate connects to (its handle goes into PinToHandle).
  void SetLinkPin(CKsPin *pin) { m_pLinkPin = pin; }
  // The connection request and its size (null and 0 without one).
  const KSPIN_CONNECT *GetPinConnect() const { return m_pksPinCreate; }
  ULONG GetPinConnectSize() const { return m_cbPinCreate; }

 protected:
  // Frees the request (null afterwards).
  void FreePinConnect();

  PKSPIN_CONNECT m_pksPinCreate = nullptr;
  ULONG m_cbPinCreate = 0;
  ULONG m_ulPinId;
  CKsFilter *m_pFilter;
  GUID m_guidCategory = {};
  KsPinDescriptor m_Descriptor = {};
  KsPinType m_PinType = KsPinTypePlain;
  KSSTATE m_State = KSSTATE_STOP;
  WCHAR m_szPinName[MAX_PATH / 2] = {};
  ULONG m_ulLooped = 0;
  CKsPin *m_pLinkPin = nullptr;

 private:
  HRESULT QueryList(ULONG id, PKSMULTIPLE_ITEM *items, const char *failure);
  HRESULT QuerySimple(ULONG id, PVOID value, ULONG size, const char *failure);
  void FreeDescriptorBuffers();
};
