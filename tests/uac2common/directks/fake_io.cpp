#include "fake_io.h"

#include <algorithm>
#include <cstring>

namespace kslibtest {

FakeIo *FakeIo::s_active = nullptr;

FakeIo::FakeIo() {
  s_active = this;
  directks::KsSystemCalls &calls = directks::KsSystem();
  calls.deviceIoControl = &FakeIo::FakeDeviceIoControl;
  calls.createEvent = &FakeIo::FakeCreateEvent;
  calls.waitForSingleObject = &FakeIo::FakeWait;
}

FakeIo::~FakeIo() {
  directks::KsSystem().Reset();
  s_active = nullptr;
}

BOOL WINAPI FakeIo::FakeDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                    LPDWORD bytes, LPOVERLAPPED overlapped) {
  IoRequest request{handle, code, {}, outSize, out != nullptr, overlapped != nullptr ? overlapped->hEvent : nullptr};
  if (in != nullptr) request.input.assign(static_cast<uint8_t *>(in), static_cast<uint8_t *>(in) + inSize);
  s_active->requests.push_back(request);
  IoAnswer answer = s_active->answer(request);
  if (out != nullptr && !answer.output.empty()) {
    std::memcpy(out, answer.output.data(), std::min<size_t>(outSize, answer.output.size()));
  }
  if (answer.pendingStatus.has_value()) {
    EXPECT_NE(overlapped, nullptr);
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(*answer.pendingStatus));
    overlapped->InternalHigh = answer.bytes;
    SetEvent(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1}));
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (bytes != nullptr) *bytes = answer.bytes;
  if (!answer.result) SetLastError(answer.error);
  return answer.result;
}

HANDLE WINAPI FakeIo::FakeCreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCSTR name) {
  if (s_active->failCreateEvent) return nullptr;
  return ::CreateEventA(attributes, manual, initial, name);
}

DWORD WINAPI FakeIo::FakeWait(HANDLE handle, DWORD milliseconds) {
  if (s_active->waitResult.has_value()) return *s_active->waitResult;
  return ::WaitForSingleObject(handle, milliseconds);
}

namespace {

IoAnswer Value(const IoRequest &request, const void *data, size_t size) {
  IoAnswer answer;
  if (request.outputSize < size) {
    answer.result = FALSE;
    answer.error = ERROR_INSUFFICIENT_BUFFER;
    return answer;
  }
  answer.output = Bytes(data, size);
  answer.bytes = static_cast<DWORD>(size);
  return answer;
}

IoAnswer List(const IoRequest &request, ULONG count, const std::vector<uint8_t> &items) {
  KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size()), count};
  IoAnswer answer;
  if (request.outputSize == 0) {
    answer.result = FALSE;
    answer.error = ERROR_MORE_DATA;
    answer.bytes = header.Size;
    return answer;
  }
  std::vector<uint8_t> data = Bytes(header);
  data.insert(data.end(), items.begin(), items.end());
  return Value(request, data.data(), data.size());
}

template <class T>
std::vector<uint8_t> Items(const std::vector<T> &items) {
  return Bytes(items.data(), items.size() * sizeof(T));
}

IoAnswer Fail(DWORD error) {
  IoAnswer answer;
  answer.result = FALSE;
  answer.error = error;
  return answer;
}

}  // namespace

IoAnswer FakeKsFilter::Answer(const IoRequest &request) const {
  if (request.code != IOCTL_KS_PROPERTY || request.input.size() < sizeof(KSPROPERTY)) {
    return Fail(ERROR_INVALID_FUNCTION);
  }
  KSPROPERTY property;
  std::memcpy(&property, request.input.data(), sizeof property);
  if (directks::GuidEquals(property.Set, directks::kPropSetTopology) && property.Id == KSPROPERTY_TOPOLOGY_NODES) {
    return List(request, static_cast<ULONG>(nodes.size()), Items(nodes));
  }
  if (!directks::GuidEquals(property.Set, directks::kPropSetPin) || request.input.size() < sizeof(KSP_PIN)) {
    return Fail(ERROR_NOT_FOUND);
  }
  KSP_PIN pinRequest;
  std::memcpy(&pinRequest, request.input.data(), sizeof pinRequest);
  if (property.Id == KSPROPERTY_PIN_CTYPES) {
    ULONG count = static_cast<ULONG>(pins.size());
    return Value(request, &count, sizeof count);
  }
  if (pinRequest.PinId >= pins.size()) return Fail(ERROR_INVALID_PARAMETER);
  const FakePin &pin = pins[pinRequest.PinId];
  switch (property.Id) {
    case KSPROPERTY_PIN_COMMUNICATION:
      return Value(request, &pin.communication, sizeof(ULONG));
    case KSPROPERTY_PIN_DATAFLOW:
      return Value(request, &pin.dataFlow, sizeof(ULONG));
    case KSPROPERTY_PIN_INTERFACES:
      return List(request, static_cast<ULONG>(pin.interfaces.size()), Items(pin.interfaces));
    case KSPROPERTY_PIN_MEDIUMS:
      return List(request, static_cast<ULONG>(pin.mediums.size()), Items(pin.mediums));
    case KSPROPERTY_PIN_DATARANGES: {
      std::vector<uint8_t> ranges;
      for (const std::vector<uint8_t> &range : pin.ranges) {
        ranges.insert(ranges.end(), range.begin(), range.end());
        ranges.resize((ranges.size() + 7) & ~size_t{7}, 0);
      }
      return List(request, static_cast<ULONG>(pin.ranges.size()), ranges);
    }
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_GLOBALCINSTANCES: {
      KSPIN_CINSTANCES instances{1, 0};
      return Value(request, &instances, sizeof instances);
    }
    case KSPROPERTY_PIN_CATEGORY:
      return Value(request, &directks::kFormatTypeAudio, sizeof(GUID));
    default:
      return Fail(ERROR_NOT_FOUND);
  }
}

KSPIN_INTERFACE StandardInterface() {
  KSPIN_INTERFACE item = {};
  item.Set = directks::kInterfaceSetStandard;
  item.Id = KSINTERFACE_STANDARD_STREAMING;
  return item;
}

KSPIN_MEDIUM StandardMedium() {
  KSPIN_MEDIUM item = {};
  item.Set = directks::kMediumSetStandard;
  item.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  return item;
}

KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range.DataRange.MajorFormat = directks::kFormatTypeAudio;
  range.DataRange.SubFormat = directks::kSubtypePcm;
  range.DataRange.Specifier = directks::kSpecifierWaveFormatEx;
  range.MaximumChannels = channels;
  range.MinimumBitsPerSample = minBits;
  range.MaximumBitsPerSample = maxBits;
  range.MinimumSampleFrequency = minRate;
  range.MaximumSampleFrequency = maxRate;
  return range;
}

std::vector<uint8_t> Bytes(const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

FakePin AudioPin(ULONG communication, ULONG dataFlow, std::vector<KSDATARANGE_AUDIO> ranges) {
  FakePin pin;
  pin.communication = communication;
  pin.dataFlow = dataFlow;
  pin.interfaces = {StandardInterface()};
  pin.mediums = {StandardMedium()};
  for (const KSDATARANGE_AUDIO &range : ranges) pin.ranges.push_back(Bytes(range));
  return pin;
}

WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate) {
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  return format;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD bits, DWORD rate, const GUID &subFormat) {
  WAVEFORMATEXTENSIBLE format = {};
  format.Format = Pcm(channels, bits, rate);
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = bits;
  format.SubFormat = subFormat;
  return format;
}

}  // namespace kslibtest
