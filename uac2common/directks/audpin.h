// The audio pins: CKsAudPin keeps copies of the pin's KSDATARANGE_AUDIO
// records, matches wave formats against them and prepares the connection
// request (KSPIN_CONNECT, then KSDATAFORMAT_WAVEFORMATEX); CKsAudRenPin and
// CKsAudCapPin are its render and capture kinds.
#pragma once
#include "uac2common/directks/node.h"
#include "uac2common/directks/pin.h"
#include "uac2common/directks/tlist.h"

class CKsAudFilter;

class CKsAudPin : public CKsPin {
 public:
  // Reads the pin as CKsPin does, then builds the connection request for a
  // 16-bit PCM wave format and keeps the audio ranges. Fails when the pin has
  // no standard streaming interface or medium, or no audio data range.
  CKsAudPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr);
  ~CKsAudPin() override;

  HRESULT Init();
  // True if a kept range takes the format's type, channels, bits and rate.
  bool IsFormatSupported(const WAVEFORMATEX *pwfx) const;
  // Puts the format into the connection request (grown or shrunk to fit).
  HRESULT SetFormat(const WAVEFORMATEX *pwfx);
  using CKsPin::SetFormat;
  // A copy of the last format set, or null.
  const WAVEFORMATEX *GetCurrentFormat() const { return m_pwfxCurrent; }
  HRESULT GetPosition(PKSAUDIO_POSITION position);
  HRESULT SetPosition(PKSAUDIO_POSITION position);
  CKsNode *GetNode(ULONG nodeId) const;

  const TList<KSDATARANGE_AUDIO> &GetDataRanges() const { return m_lstDataRanges; }
  // The data-format part of the connection request, or null without one.
  PKSDATAFORMAT_WAVEFORMATEX GetDataFormat() const;

 protected:
  TList<KSDATARANGE_AUDIO> m_lstDataRanges;
  CKsAudFilter *m_pAudFilter;
  TList<CKsNode> m_lstAudNodes;
  WAVEFORMATEX *m_pwfxCurrent = nullptr;

 private:
  HRESULT BuildPinConnect();
  bool HasStandardInterface() const;
  bool HasStandardMedium() const;
  HRESULT KeepAudioRanges(bool *sawAudio);
};

class CKsAudRenPin : public CKsAudPin {
 public:
  CKsAudRenPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr);
  ~CKsAudRenPin() override = default;
};

class CKsAudCapPin : public CKsAudPin {
 public:
  CKsAudCapPin(CKsAudFilter *filter, ULONG pinId, HRESULT *phr);
  ~CKsAudCapPin() override = default;
};
