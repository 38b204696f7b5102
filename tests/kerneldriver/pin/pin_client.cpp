#include "pin_client.h"

#include <cstring>

namespace pintest {

namespace {

using KsCreatePinProc = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

KsCreatePinProc KsCreatePinEntry() {
  HMODULE ksuser = LoadLibraryA("ksuser.dll");
  return ksuser != nullptr ? reinterpret_cast<KsCreatePinProc>(
                                 reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")))
                           : nullptr;
}

}  // namespace

std::vector<uint8_t> ConnectRequest(ULONG pinId, const WaveShape &shape) {
  KSPIN_CONNECT connect{};
  connect.Interface.Set = KSINTERFACESETID_Standard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = KSMEDIUMSETID_Standard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.PinId = pinId;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  WAVEFORMATEXTENSIBLE wave{};
  wave.Format.wFormatTag = shape.extensible ? 0xFFFE : 1;
  wave.Format.nChannels = shape.channels;
  wave.Format.nSamplesPerSec = shape.rate;
  wave.Format.nBlockAlign = static_cast<WORD>(shape.BlockAlign());
  wave.Format.nAvgBytesPerSec = shape.rate * shape.BlockAlign();
  wave.Format.wBitsPerSample = shape.bits;
  wave.Format.cbSize = shape.extensible ? 22 : 0;
  wave.Samples.wValidBitsPerSample = shape.validBits;
  wave.dwChannelMask = shape.channels == 2 ? 3 : 0;
  wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  KSDATAFORMAT format{};
  const ULONG waveBytes = shape.extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
  format.FormatSize = sizeof(KSDATAFORMAT) + waveBytes;
  format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  std::vector<uint8_t> bytes(sizeof(connect) + format.FormatSize);
  std::memcpy(bytes.data(), &connect, sizeof(connect));
  std::memcpy(bytes.data() + sizeof(connect), &format, sizeof(format));
  std::memcpy(bytes.data() + sizeof(connect) + sizeof(format), &wave, waveBytes);
  return bytes;
}

CPinClient::~CPinClient() {
  ClosePin();
  CloseFilter();
}

bool CPinClient::OpenFilter(const std::string &path) {
  m_filter = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  return m_filter != INVALID_HANDLE_VALUE;
}

DWORD CPinClient::CreatePin(ULONG pinId, const WaveShape &shape) {
  KsCreatePinProc create = KsCreatePinEntry();
  if (create == nullptr) return ERROR_PROC_NOT_FOUND;
  std::vector<uint8_t> request = ConnectRequest(pinId, shape);
  m_shape = shape;
  return create(m_filter, reinterpret_cast<PKSPIN_CONNECT>(request.data()), GENERIC_READ | GENERIC_WRITE, &m_pin);
}

bool CPinClient::PinProperty(const void *request, ULONG requestSize, void *value, ULONG valueSize, DWORD *returned,
                             DWORD *error) {
  DWORD bytes = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BOOL ok = DeviceIoControl(m_pin, IOCTL_KS_PROPERTY, const_cast<void *>(request), requestSize, value, valueSize,
                            &bytes, &overlapped);
  DWORD last = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok && last == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(m_pin, &overlapped, &bytes, TRUE);
    last = ok ? ERROR_SUCCESS : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (returned != nullptr) *returned = bytes;
  if (error != nullptr) *error = last;
  return ok != FALSE;
}

bool CPinClient::SetState(KSSTATE state) {
  KSPROPERTY property{};
  property.Set = KSPROPSETID_Connection;
  property.Id = KSPROPERTY_CONNECTION_STATE;
  property.Flags = KSPROPERTY_TYPE_SET;
  return PinProperty(&property, sizeof(property), &state, sizeof(state), nullptr);
}

CStreamRequest &CPinClient::Send(std::vector<uint8_t> data, uint32_t extent, bool write) {
  auto request = std::make_unique<CStreamRequest>();
  request->data = std::move(data);
  request->data.resize(extent);
  request->header.Size = sizeof(KSSTREAM_HEADER);
  request->header.Data = request->data.data();
  request->header.FrameExtent = extent;
  request->header.DataUsed = write ? extent : 0;
  request->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(m_pin, write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM, nullptr, 0,
                            &request->header, sizeof(KSSTREAM_HEADER), &bytes, &request->overlapped);
  request->pending = ok || GetLastError() == ERROR_IO_PENDING;
  m_requests.push_back(std::move(request));
  return *m_requests.back();
}

CStreamRequest &CPinClient::Write(std::vector<uint8_t> data) {
  const auto extent = static_cast<uint32_t>(data.size());
  return Send(std::move(data), extent, true);
}

CStreamRequest &CPinClient::Read(uint32_t bytes) { return Send({}, bytes, false); }

bool CPinClient::WaitOldest(DWORD milliseconds, CStreamRequest *done) {
  if (m_requests.empty()) return false;
  CStreamRequest &oldest = *m_requests.front();
  if (WaitForSingleObject(oldest.overlapped.hEvent, milliseconds) != WAIT_OBJECT_0) return false;
  DWORD bytes = 0;
  const BOOL ok = GetOverlappedResult(m_pin, &oldest.overlapped, &bytes, FALSE);
  oldest.error = ok ? ERROR_SUCCESS : GetLastError();
  oldest.pending = false;
  CloseHandle(oldest.overlapped.hEvent);
  oldest.overlapped.hEvent = nullptr;
  if (done != nullptr) {
    *done = std::move(oldest);
    done->header.Data = done->data.data();
  }
  m_requests.pop_front();
  return true;
}

void CPinClient::ClosePin() {
  if (m_pin != nullptr) CloseHandle(m_pin);
  m_pin = nullptr;
  for (auto &request : m_requests) {
    if (request->overlapped.hEvent != nullptr) {
      WaitForSingleObject(request->overlapped.hEvent, 1000);
      CloseHandle(request->overlapped.hEvent);
    }
  }
  m_requests.clear();
}

void CPinClient::CloseFilter() {
  if (m_filter != INVALID_HANDLE_VALUE) CloseHandle(m_filter);
  m_filter = INVALID_HANDLE_VALUE;
}

}  // namespace pintest
