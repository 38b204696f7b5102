// CKsAudFilter: a filter whose pins are audio pins (render pins for data
// flowing in to a sink, capture pins for data flowing out of one), which
// finds a pin for a wave format and opens it.
#pragma once
#include "uac2common/directks/audpin.h"
#include "uac2common/directks/filter.h"

class CKsAudFilter : public CKsFilter {
 public:
  CKsAudFilter(LPCSTR pszName, HRESULT *phr);
  ~CKsAudFilter() override = default;

  // Creates audio pins for the pins that have a communication; S_OK when at
  // least one of them is classified.
  HRESULT EnumeratePins() override;

  // The first render (capture) pin that supports the format, or null.
  CKsAudPin *FindViableRenPin(const WAVEFORMATEX *pwfx) const;
  CKsAudPin *FindViableCapPin(const WAVEFORMATEX *pwfx) const;
  // The opened pin (the filter keeps ownership), or null.
  CKsAudPin *CreateRenderPin(const WAVEFORMATEX *pwfx, ULONG looped);
  CKsAudPin *CreateCapturePin(const WAVEFORMATEX *pwfx, ULONG looped);
  bool CanCreateRenderPin(const WAVEFORMATEX *pwfx) const;
  // The first capture pin.
  HRESULT GetCapturePin(CKsAudPin **pin) const;

 private:
  HRESULT AddAudioPin(ULONG id);
};
