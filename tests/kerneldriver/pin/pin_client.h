// A minimal user-mode audio client, as the deliverables will be one: it
// opens a filter by its interface path, creates a streaming pin with
// KsCreatePin (found through ksuser.dll), drives its state through
// IOCTL_KS_PROPERTY and moves frames with overlapped IOCTL_KS_WRITE_STREAM
// and IOCTL_KS_READ_STREAM.
#pragma once
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace pintest {

struct WaveShape {
  uint16_t channels = 2;
  uint32_t rate = 48000;
  uint16_t bits = 16;       // container bits: 16 or 32
  uint16_t validBits = 16;  // written only with extensible
  bool extensible = false;

  uint32_t BlockAlign() const { return channels * bits / 8u; }
};

// KSPIN_CONNECT followed by KSDATAFORMAT_WAVEFORMATEX (FormatSize covering
// the WAVEFORMATEXTENSIBLE when extensible).
std::vector<uint8_t> ConnectRequest(ULONG pinId, const WaveShape &shape);

// One overlapped stream request of one frame.
struct CStreamRequest {
  OVERLAPPED overlapped{};
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> data;
  bool pending = false;
  DWORD error = ERROR_SUCCESS;  // once completed
};

class CPinClient {
 public:
  CPinClient() = default;
  ~CPinClient();
  CPinClient(const CPinClient &) = delete;
  CPinClient &operator=(const CPinClient &) = delete;

  bool OpenFilter(const std::string &path);
  // ERROR_SUCCESS or what KsCreatePin returned.
  DWORD CreatePin(ULONG pinId, const WaveShape &shape);
  bool SetState(KSSTATE state);
  void ClosePin();
  void CloseFilter();

  HANDLE Filter() const { return m_filter; }
  HANDLE Pin() const { return m_pin; }
  const WaveShape &Rule() const { return m_shape; }

  // Property get/set on the pin: true on success; *error the last error.
  bool PinProperty(const void *request, ULONG requestSize, void *value, ULONG valueSize, DWORD *returned,
                   DWORD *error = nullptr);

  // Sends a frame: write with `data`, read with room for `bytes`.
  CStreamRequest &Write(std::vector<uint8_t> data);
  CStreamRequest &Read(uint32_t bytes);
  // Waits (virtual time) for the oldest request in flight; false on time-out.
  bool WaitOldest(DWORD milliseconds, CStreamRequest *done);
  size_t InFlight() const { return m_requests.size(); }

 private:
  CStreamRequest &Send(std::vector<uint8_t> data, uint32_t extent, bool write);

  HANDLE m_filter = INVALID_HANDLE_VALUE;
  HANDLE m_pin = nullptr;
  WaveShape m_shape;
  std::deque<std::unique_ptr<CStreamRequest>> m_requests;
};

}  // namespace pintest
