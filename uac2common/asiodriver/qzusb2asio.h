// QZUsb2Asio: the ASIO driver object. It presents every present device of
// the kernel driver as one ASIO device (channels in device order, rates that
// every device takes), owns the host's ASIO buffers and runs the streaming
// thread between start and stop.
//
// Threads: the IASIO methods run on the host's threads without a lock of
// their own (the ASIO calling rules order them); the streaming thread reads
// the devices, buffers and callbacks, which do not change while it runs
// (createBuffers and disposeBuffers refuse to run under it, setSampleRate
// stops it while it reopens the pins). The time record is shared under
// m_timeLock.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "uac2common/asiodriver/asio_interface.h"
#include "uac2common/asiodriver/asio_panel.h"
#include "uac2common/asiodriver/com_unknown.h"
#include "uac2common/asiodriver/stream_requests.h"
#include "uac2common/asiodriver/time_lock.h"

class CQZAudioFilter;
class CQZAudioFilterList;

namespace qavasio {

// The devices' channel ranges within the host's channel lists.
struct DeviceChannels {
  uint32_t firstInput = 0;
  uint32_t inputs = 0;
  uint32_t firstOutput = 0;
  uint32_t outputs = 0;
};

// One channel's two buffer halves, owned.
struct ChannelBuffers {
  ASIOBufferInfo info;
  std::unique_ptr<int32_t[]> halves[2];
};

// The most devices one driver object aggregates: a request set waits on two
// events per device in one wait-all.
inline constexpr size_t kMaxDevices = MAXIMUM_WAIT_OBJECTS / 2;

}  // namespace qavasio

class QZUsb2Asio : public IASIO, public CUnknown {
 public:
  QZUsb2Asio(LPUNKNOWN outer, HRESULT *phr);
  ~QZUsb2Asio() override;
  // The factory's create function.
  static CUnknown *CreateInstance(LPUNKNOWN outer, HRESULT *phr);

  // IUnknown: to the owning unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // The driver CLSID doubles as the IASIO interface id.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  ASIOBool init(void *sysHandle) override;
  void getDriverName(char *name) override;
  LONG getDriverVersion() override;
  void getErrorMessage(char *string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(LONG *numInputChannels, LONG *numOutputChannels) override;
  ASIOError getLatencies(LONG *inputLatency, LONG *outputLatency) override;
  ASIOError getBufferSize(LONG *minSize, LONG *maxSize, LONG *preferredSize, LONG *granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate *sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource *clocks, LONG *numSources) override;
  ASIOError setClockSource(LONG reference) override;
  ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo *info) override;
  ASIOError createBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize,
                         ASIOCallbacks *callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(LONG selector, void *opt) override;
  ASIOError outputReady() override;

  // For the settings dialog: the total latency in samples for a choice of
  // buffer size, USB performance mode and rate; the rates every device
  // takes; whether a streaming thread exists.
  uint64_t TotalLatencyFor(uint32_t bufferSize, uint32_t urbSizeMs, uint32_t rate) const;
  const std::vector<int64_t> &SupportedRates() const { return m_rates; }
  bool IsStreaming() const { return m_thread != nullptr; }
  // Request sets whose captured data came with a gap, since creation.
  uint32_t OverloadCount() const { return m_overloads.load(); }
  // Applies a settings dialog's result and asks the host for a reset.
  void ApplySettings(const qavasio::AsioPanelSettings &settings);

  // The object whose settings dialog is open, or null.
  static QZUsb2Asio *CurrentObject();

 private:
  // Device set-up and pins.
  bool SetUpDevice(CQZAudioFilter *filter, bool aggregated);
  void CollectRates();
  void CollectClockSources();
  bool OpenAllPins(uint32_t rate);
  void CloseAllPins();
  uint32_t CurrentRate();
  uint32_t FirstUrbSize() const;
  // What getLatencies reports for each direction now.
  LONG DirectionLatency();
  uint32_t ModelOffset() const;
  // createBuffers without its trace record.
  ASIOError CreateBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize, ASIOCallbacks *callbacks);

  // Host messages (0 when the host gave no asioMessage).
  LONG HostMessage(LONG selector);

  // The streaming thread (stream_thread.cpp).
  enum class PassEnd { Stopped, TimedOut, Restart, Failed };
  static DWORD WINAPI StreamThreadProc(LPVOID parameter);
  void StreamThread();
  PassEnd StreamPass();
  bool StartThread();
  // True when it ended streaming that was still going: neither the driver
  // (a stalled device, with a reset request to the host) nor the host had
  // ended it already.
  bool StopThread();
  std::vector<qavasio::StreamDevice> StreamDevices() const;
  void StampTime(uint64_t position);
  void CallHost();
  void ClearBuffers(bool inputsOnly);

  ASIOCallbacks *m_callbacks = nullptr;
  bool m_timeInfoMode = false;
  char m_errorText[128] = {};
  std::unique_ptr<CQZAudioFilterList> m_filters;
  std::vector<CQZAudioFilter *> m_devices;
  std::vector<qavasio::DeviceChannels> m_deviceChannels;
  LONG m_bufferSize = 0;
  HANDLE m_thread = nullptr;
  DWORD m_threadId = 0;
  std::atomic<bool> m_stop{true};
  ASIOTime m_time = {};
  qavasio::CTimeLock m_timeLock;
  HWND m_window = nullptr;
  std::vector<int64_t> m_rates;
  std::vector<ASIOClockSource> m_clocks;
  std::vector<qavasio::ChannelBuffers> m_inputBuffers;
  std::vector<qavasio::ChannelBuffers> m_outputBuffers;
  std::vector<ASIOChannelInfo> m_inputChannels;
  std::vector<ASIOChannelInfo> m_outputChannels;
  std::atomic<uint32_t> m_overloads{0};
};
