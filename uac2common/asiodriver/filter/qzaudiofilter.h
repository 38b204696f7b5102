// CQZAudioFilter: one QavAudio device as the ASIO driver uses it. A KS audio
// filter (opened by its device-interface path) with what the ASIO driver
// needs of this kernel driver: one render and one capture pin opened with the
// fixed 32-bit container / 24 valid bits PCM format at one rate, the private
// properties for rates, clock sources and the USB performance mode, the
// private URB-size notification, and USB descriptors through the private
// method.
//
// Owned by its list by reference; the driver object and the streaming thread
// borrow it. Not locked: pins are opened and closed only while the streaming
// thread is stopped; property requests are plain synchronous KS requests and
// may come from any thread.
#pragma once
#include <string>
#include <vector>

#include "uac2common/directks/audfilter.h"
#include "uac2common/uac2private.h"

class CQZAudioFilter : public CKsAudFilter {
 public:
  // Stores the path as CKsFilter does; ids 0, no handle yet.
  CQZAudioFilter(LPCSTR pszName, HRESULT *phr);
  ~CQZAudioFilter() override = default;

  // The device-interface path the filter was opened by.
  virtual LPCSTR GetFilterName();
  // The friendly name the list copied in (empty without one).
  virtual LPCSTR GetFriendlyName();
  // The same two through a const filter.
  using CKsFilter::GetFilterName;
  using CKsFilter::GetFriendlyName;

  virtual LONG GetRenderPinCount();
  virtual LONG GetCapturePinCount();
  // The first render (capture) pin, borrowed from the filter, or null.
  virtual CKsAudRenPin *GetFirstRenderPin();
  virtual CKsAudCapPin *GetFirstCapturePin();
  // Opens the first render (capture) pin that takes the format, with standard
  // (not looped) streaming; the opened pin, or null.
  virtual CKsAudPin *CreateRenderPin(const WAVEFORMATEX *pwfx);
  virtual CKsAudPin *CreateCapturePin(const WAVEFORMATEX *pwfx);
  // nChannels of the format the pin is open with; 0 while the pin is closed
  // or without the pin.
  virtual ULONG GetCaptureChannelCount();
  virtual ULONG GetRenderChannelCount();
  // Sample frames in one render packet: the render pin's allocator FrameSize
  // over its nBlockAlign. 0 without an open render pin or on failure.
  virtual ULONG GetFramesPerPacket();
  // Capture pin first (if there is one), then the render pin. A failing
  // capture pin's status is returned with the render pin left alone;
  // otherwise the render pin's status (E_FAIL without a render pin).
  virtual HRESULT SetPinsState(KSSTATE state);
  // Cancels the calling thread's pending stream I/O on the open pins,
  // capture first. The first failure, else S_OK.
  virtual HRESULT CancelPinIo();
  // Opens the render pin and, when the device has one, the capture pin at the
  // rate (0: the active rate, else the device's rate, else 44100). Both open,
  // or neither: false leaves every pin closed. False also when the pins are
  // already open or there is no render pin.
  virtual bool OpenPins(ULONG rate);
  // Stops and closes the capture pin (if any), then the render pin.
  virtual void ClosePins();
  // The render pin and, when the device has one, the capture pin hold handles.
  virtual bool PinsAreOpen();

  // The private properties on the filter handle. Reads answer 0 on failure:
  // 0 is "unknown" for every rate, index and mode.
  virtual ULONG GetActiveSampleRate();
  virtual ULONG GetDeviceSampleRate();
  // Up to `count` rates into `rates`; *written (optional) receives how many
  // the driver actually returned. Entries beyond those are zeroed. The
  // driver answers the whole list or fails: a buffer of UAC_MAX_SAMPLE_RATES
  // always holds it.
  virtual HRESULT GetSampleRates(PULONG rates, ULONG count, PULONG written = nullptr);
  // The record of clock source `index`; fails unless the driver answers with
  // a whole record. The record's Name is terminated on success.
  virtual HRESULT GetClockSourceInfo(ULONG index, ClockSourceInfo *info);
  // The selected clock source number; 0xFFFFFFFF from a device without a
  // clock selector (the driver never read an input).
  virtual ULONG GetClockSource();
  virtual HRESULT SetClockSource(ULONG index);
  // Milliseconds per isochronous URB: the USB performance mode.
  virtual ULONG GetUrbSize();
  virtual HRESULT SetUrbSize(ULONG value);
  // The driver signals `event` whenever the URB size changes. The handle must
  // stay open until DisableNotifications.
  virtual HRESULT EnableNotification(HANDLE event);
  // Disables every event enabled on the filter handle.
  virtual HRESULT DisableNotifications();
  // One USB descriptor through the private method. *length is the buffer's
  // size on entry and the bytes the driver returned on exit (0 on failure).
  virtual HRESULT GetUsbDescriptor(UCHAR type, UCHAR index, USHORT language, PVOID buffer, PULONG length);
  // Reads idVendor and idProduct from the device descriptor: 0 stored them,
  // 1 the descriptor could not be read, 2 the device is in firmware-update
  // (DFU) mode. On 1 and 2 the ids keep their values.
  virtual ULONG ReadDeviceIds();
  // The channel names the device's streaming interfaces announce, in the
  // OEM code page: capture names to inputNames, render names to outputNames
  // (appended; a channel whose string cannot be read is left out). False
  // only when the configuration descriptor cannot be read.
  virtual bool GetChannelNames(std::vector<std::string> &inputNames, std::vector<std::string> &outputNames);
  virtual const TList<CKsPin> &GetRenderPins();
  virtual const TList<CKsPin> &GetCapturePins();

  USHORT GetVendorId() const { return m_usVendorId; }
  USHORT GetProductId() const { return m_usProductId; }

 private:
  HRESULT GetU32(ULONG id, PULONG value);
  HRESULT SetU32(ULONG id, ULONG value);
  ULONG ReadU32OrZero(ULONG id);
  ULONG ResolveRate(ULONG rate);
  std::vector<std::string> ReadChannelNames(UCHAR firstIndex, ULONG channels);

  USHORT m_usVendorId = 0;
  USHORT m_usProductId = 0;
};
