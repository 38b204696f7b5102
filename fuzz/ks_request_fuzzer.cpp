// libFuzzer target: what a user-mode client can send the driver's filter.
// Each input plugs a catalog model into a Machine with QavAudio installed,
// opens up to three filter handles by the private category's interface path
// and drives a sequence of property, method and event requests through
// DeviceIoControl (any set, id, flags, request and value sizes and
// contents), handle reopening, passing time and a surprise removal, and
// audio pins: creations with valid and damaged connect requests and
// formats, state changes and stream requests with odd headers (see
// ks_request_script.h). Then every handle closes, the device goes and the
// driver unloads, which checks it leaked no pool. Crashes, sanitizer reports,
// winsim bug checks and hangs are findings.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ks_request_script.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"
#include "winsim/user/device_paths.h"
#include "fuzz/recycled_machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using ksfuzz::CReader;
using ksfuzz::Op;

std::u16string HardwareId(const winsim::devices::DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// One client's run against one plugged device.
class CSession {
 public:
  CSession(winsim::Machine &machine, PDEVICE_OBJECT pdo) : m_machine(machine), m_pdo(pdo) {
    m_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_semaphore = CreateSemaphoreA(nullptr, 0, 1000, nullptr);
  }
  ~CSession() {
    for (Pin &pin : m_pins) ClosePin(pin);
    for (HANDLE &handle : m_handles) Close(handle);
    CloseHandle(m_event);
    CloseHandle(m_semaphore);
  }

  void Open(size_t count) {
    for (size_t i = 0; i < count; ++i) m_handles.push_back(OpenFilter());
  }

  // Runs operations until the input ends or asks for the device to go.
  void Run(CReader &input) {
    for (size_t n = 0; n < ksfuzz::kMaxOperations && !input.AtEnd(); ++n) {
      switch (static_cast<Op>(input.U8() % static_cast<uint8_t>(Op::Count))) {
        case Op::Property: Request(input, IOCTL_KS_PROPERTY); break;
        case Op::Method: Request(input, IOCTL_KS_METHOD); break;
        case Op::EnableEvent: EnableEvent(input); break;
        case Op::DisableEvents: DisableEvents(input); break;
        case Op::Reopen: Reopen(input); break;
        case Op::RunTime: m_machine.RunFor(input.U8() * winsim::kTicksPerMillisecond); break;
        case Op::SurpriseRemove: removeRequested = true; break;
        case Op::CreatePin: CreatePin(input); break;
        case Op::PinState: PinState(input); break;
        case Op::Stream: Stream(input); break;
        case Op::Count: break;
      }
      if (removeRequested) return;
    }
  }

  bool removeRequested = false;

 private:
  HANDLE OpenFilter(DWORD flags = 0) {
    for (const winsim::DeviceInterfaceInfo &info : m_machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true)) {
      if (info.pdo != m_pdo) continue;
      return CreateFileA(winsim::UserInterfacePath(info).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    }
    return INVALID_HANDLE_VALUE;
  }

  void Close(HANDLE &handle) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }

  HANDLE &Handle(uint8_t choice) { return m_handles[choice % m_handles.size()]; }

  // A filter handle, or with kToPin an open pin's handle.
  HANDLE Target(uint8_t choice) {
    if ((choice & ksfuzz::kToPin) != 0) {
      Pin &pin = m_pins[choice % ksfuzz::kMaxPins];
      if (pin.handle != nullptr) return pin.handle;
    }
    return Handle(choice);
  }

  void Request(CReader &input, DWORD ioctl) {
    HANDLE handle = Target(input.U8());
    KSIDENTIFIER identifier{};
    identifier.Set = ksfuzz::SetFor(input.U8());
    identifier.Id = input.U16();
    identifier.Flags = input.U32();
    std::vector<uint8_t> request(sizeof(identifier));
    std::memcpy(request.data(), &identifier, sizeof(identifier));
    for (uint8_t b : input.Bytes(input.U8())) request.push_back(b);
    size_t valueLength = input.U16();
    if (input.U8() & 1) valueLength += 0x10000;
    std::vector<uint8_t> value(valueLength, 0xA5);
    std::vector<uint8_t> fill = input.Bytes(input.U8());
    std::copy_n(fill.begin(), std::min(fill.size(), value.size()), value.begin());
    DWORD bytes = 0;
    DeviceIoControl(handle, ioctl, request.data(), static_cast<DWORD>(request.size()),
                    value.empty() ? nullptr : value.data(), static_cast<DWORD>(value.size()), &bytes, nullptr);
  }

  void EnableEvent(CReader &input) {
    HANDLE handle = Handle(input.U8());
    KSEVENT event{};
    event.Set = ksfuzz::SetFor(input.U8());
    event.Id = input.U16();
    event.Flags = input.U32();
    const size_t dataLength = input.U8();
    const uint8_t notification = input.U8();
    auto data = std::make_unique<uint8_t[]>(std::max<size_t>(dataLength, sizeof(KSEVENTDATA)));
    KSEVENTDATA eventData{};
    if (notification % 3 == ksfuzz::kNotificationEventHandle) {
      eventData.NotificationType = KSEVENTF_EVENT_HANDLE;
      eventData.EventHandle.Event = m_event;
    } else if (notification % 3 == 1) {
      eventData.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
      eventData.SemaphoreHandle.Semaphore = m_semaphore;
      eventData.SemaphoreHandle.Adjustment = notification;
    } else {
      eventData.NotificationType = notification;
      eventData.EventHandle.Event = m_event;
    }
    std::memcpy(data.get(), &eventData, sizeof(eventData));
    DWORD bytes = 0;
    if (DeviceIoControl(handle, IOCTL_KS_ENABLE_EVENT, &event, sizeof(event), data.get(),
                        static_cast<DWORD>(dataLength), &bytes, nullptr)) {
      m_enabled.push_back({handle, std::move(data)});
    }
  }

  void DisableEvents(CReader &input) {
    HANDLE handle = Handle(input.U8());
    const uint8_t which = input.U8();
    DWORD bytes = 0;
    if (which == 0 || m_enabled.empty()) {
      DeviceIoControl(handle, IOCTL_KS_DISABLE_EVENT, nullptr, 0, nullptr, 0, &bytes, nullptr);
      return;
    }
    Enabled &enabled = m_enabled[which % m_enabled.size()];
    DeviceIoControl(enabled.handle, IOCTL_KS_DISABLE_EVENT, enabled.data.get(), sizeof(KSEVENTDATA), nullptr, 0,
                    &bytes, nullptr);
  }

  void Reopen(CReader &input) {
    HANDLE &handle = Handle(input.U8());
    Close(handle);
    handle = OpenFilter();
  }

  // A pin with its own overlapped filter handle, so stream requests can stay
  // queued while the input goes on; its frames stay here until they end.
  struct Frame {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> headers;
    std::vector<uint8_t> data;
  };
  struct Pin {
    HANDLE filter = INVALID_HANDLE_VALUE;
    HANDLE handle = nullptr;
    std::vector<std::unique_ptr<Frame>> frames;
  };

  static std::vector<uint8_t> ConnectRequest(CReader &input) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = input.U32();
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    const uint8_t damage = input.U8();
    if (damage & ksfuzz::kDamageInterface) connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    if (damage & ksfuzz::kDamageMedium) connect.Medium.Set = KSINTERFACESETID_Standard;
    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.nChannels = input.U16();
    wave.Format.nSamplesPerSec = input.U32();
    wave.Format.wBitsPerSample = input.U16();
    wave.Samples.wValidBitsPerSample = input.U16();
    wave.Format.wFormatTag = ksfuzz::TagFor(input.U8());
    wave.Format.nBlockAlign = static_cast<WORD>(wave.Format.nChannels * (wave.Format.wBitsPerSample / 8));
    wave.Format.nAvgBytesPerSec = wave.Format.nSamplesPerSec * wave.Format.nBlockAlign;
    wave.Format.cbSize = wave.Format.wFormatTag == 0xFFFE ? 22 : 0;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    KSDATAFORMAT format{};
    format.MajorFormat = (damage & ksfuzz::kDamageMajorFormat) ? KSDATAFORMAT_TYPE_MUSIC : KSDATAFORMAT_TYPE_AUDIO;
    format.SubFormat = (damage & ksfuzz::kDamageSubFormat) ? KSDATAFORMAT_SUBTYPE_MIDI : KSDATAFORMAT_SUBTYPE_PCM;
    format.Specifier = ksfuzz::SpecifierFor(input.U8());
    const bool dsound = std::memcmp(&format.Specifier, &KSDATAFORMAT_SPECIFIER_DSOUND, sizeof(GUID)) == 0;
    const size_t prefix = dsound ? 8 : 0;  // KSDSOUND_BUFFERDESC's Flags and Control
    const size_t extra = (damage & ksfuzz::kDamageExtraBytes) ? 64 : 0;
    const size_t formatBytes = sizeof(KSDATAFORMAT) + prefix + sizeof(WAVEFORMATEXTENSIBLE) + extra;
    const auto adjust = static_cast<int8_t>(input.U8());
    format.FormatSize = static_cast<ULONG>(static_cast<int64_t>(formatBytes) + adjust);
    if (damage & ksfuzz::kDamageShortFormatSize) format.FormatSize = sizeof(KSDATAFORMAT) / 2;
    if (damage & ksfuzz::kDamageHugeFormatSize) format.FormatSize = 0xFFFFFFF0u;
    // ksuser.dll sends as many bytes as FormatSize says (refusing sizes no
    // create name can carry): the buffer holds them, zeros past the wave.
    const size_t sent = format.FormatSize < 0x10000 ? format.FormatSize : 0;
    std::vector<uint8_t> bytes(sizeof(connect) + std::max(formatBytes, sent), 0);
    std::memcpy(bytes.data(), &connect, sizeof(connect));
    std::memcpy(bytes.data() + sizeof(connect), &format, sizeof(format));
    std::memcpy(bytes.data() + sizeof(connect) + sizeof(format) + prefix, &wave, sizeof(wave));
    return bytes;
  }

  void CreatePin(CReader &input) {
    Pin &pin = m_pins[input.U8() % ksfuzz::kMaxPins];
    input.U8();  // the filter the pin goes on: its own handle
    std::vector<uint8_t> request = ConnectRequest(input);
    ClosePin(pin);
    pin.filter = OpenFilter(FILE_FLAG_OVERLAPPED);
    if (pin.filter == INVALID_HANDLE_VALUE) return;
    // As ksuser.dll sends it: the connect request as the name of a create
    // relative to the filter.
    using KsCreatePinProc = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);
    static const auto create = reinterpret_cast<KsCreatePinProc>(
        reinterpret_cast<void *>(GetProcAddress(LoadLibraryA("ksuser.dll"), "KsCreatePin")));
    if (create == nullptr) return;
    HANDLE handle = nullptr;
    if (create(pin.filter, reinterpret_cast<PKSPIN_CONNECT>(request.data()), GENERIC_READ | GENERIC_WRITE, &handle) ==
        ERROR_SUCCESS) {
      pin.handle = handle;
    }
  }

  void PinState(CReader &input) {
    Pin &pin = m_pins[input.U8() % ksfuzz::kMaxPins];
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_STATE;
    property.Flags = KSPROPERTY_TYPE_SET;
    auto state = static_cast<KSSTATE>(input.U8());
    if (pin.handle == nullptr) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    if (!DeviceIoControl(pin.handle, IOCTL_KS_PROPERTY, &property, sizeof property, &state, sizeof state, &bytes,
                         &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(pin.handle, &overlapped, &bytes, TRUE);
    }
    CloseHandle(overlapped.hEvent);
  }

  size_t FramesInFlight() {
    size_t count = 0;
    for (Pin &pin : m_pins) {
      std::erase_if(pin.frames, [](const std::unique_ptr<Frame> &frame) {
        return WaitForSingleObject(frame->overlapped.hEvent, 0) == WAIT_OBJECT_0 && CloseHandle(frame->overlapped.hEvent);
      });
      count += pin.frames.size();
    }
    return count;
  }

  void Stream(CReader &input) {
    Pin &pin = m_pins[input.U8() % ksfuzz::kMaxPins];
    const uint8_t flags = input.U8();
    const uint32_t extent = input.U32();
    const uint32_t used = input.U32();
    const auto sizeAdjust = static_cast<int8_t>(input.U8());
    const size_t count = 1 + input.U8() % 3;
    const uint32_t options = input.U32();
    if (pin.handle == nullptr || FramesInFlight() >= ksfuzz::kMaxFramesInFlight) return;
    auto frame = std::make_unique<Frame>();
    frame->data.assign(std::min(extent, ksfuzz::kMaxFrameBytes), 0x5A);
    // A header up to 128 bytes short of the structure, never below zero (a
    // negative size would wrap to a 4 GB request buffer).
    const auto headerSize =
        static_cast<ULONG>(std::max<int64_t>(static_cast<int64_t>(sizeof(KSSTREAM_HEADER)) + sizeAdjust, 0));
    const size_t stride = std::max<size_t>(headerSize, sizeof(KSSTREAM_HEADER));
    frame->headers.assign(stride * count, 0);
    for (size_t i = 0; i < count; ++i) {
      KSSTREAM_HEADER header{};
      header.Size = headerSize;
      header.FrameExtent = extent;
      header.DataUsed = used;
      header.OptionsFlags = options;
      header.Data = (flags & ksfuzz::kStreamNoData) || frame->data.empty() ? nullptr : frame->data.data();
      std::memcpy(frame->headers.data() + i * stride, &header, sizeof header);
    }
    size_t length = frame->headers.size();
    if (flags & ksfuzz::kStreamShortBuffer) length -= std::min<size_t>(length, 8);
    frame->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD ioctl = (flags & ksfuzz::kStreamWrite) ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM;
    DWORD bytes = 0;
    if (DeviceIoControl(pin.handle, ioctl, nullptr, 0, frame->headers.data(), static_cast<DWORD>(length), &bytes,
                        &frame->overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      pin.frames.push_back(std::move(frame));
    } else {
      CloseHandle(frame->overlapped.hEvent);
    }
  }

  // Closing the pin gives its queued frames back; each is waited for before
  // its buffers go.
  void ClosePin(Pin &pin) {
    if (pin.handle != nullptr) CloseHandle(pin.handle);
    pin.handle = nullptr;
    for (auto &frame : pin.frames) {
      if (WaitForSingleObject(frame->overlapped.hEvent, 10000) != WAIT_OBJECT_0) std::abort();
      CloseHandle(frame->overlapped.hEvent);
    }
    pin.frames.clear();
    Close(pin.filter);
  }

  struct Enabled {
    HANDLE handle;
    std::unique_ptr<uint8_t[]> data;  // its address names the event; kept until the handle closed
  };

  winsim::Machine &m_machine;
  PDEVICE_OBJECT m_pdo;
  HANDLE m_event = nullptr;
  HANDLE m_semaphore = nullptr;
  std::vector<HANDLE> m_handles;
  std::vector<Enabled> m_enabled;
  Pin m_pins[ksfuzz::kMaxPins];
};

struct FuzzMachine {
  winsim::Machine machine;
  std::vector<winsim::devices::DeviceDefinition> devices;

  FuzzMachine() {
    // A bug check ends the process with _exit, which libFuzzer would not
    // notice; an abort makes it save the input.
    winsim::SetBugCheckHandler([](const winsim::BugCheckReport &) { std::abort(); });
    std::vector<std::u16string> ids;
    for (const auto &model : winsim::devices::Catalog()) {
      auto built = winsim::devices::BuildDevice(model);
      if (!built.Ok()) continue;
      devices.push_back(built.definition);
      ids.push_back(HardwareId(model));
    }
    machine.InstallDriver(u"QavAudio", DriverEntry, ids);
  }

  void Run(const uint8_t *data, size_t size) {
    CReader input(data, size);
    auto device = std::make_shared<winsim::devices::AudioDevice>(devices[input.U8() % devices.size()]);
    const size_t handles = 1 + input.U8() % ksfuzz::kMaxHandles;
    winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
    machine.Pnp().WaitIdle();
    PDEVICE_OBJECT pdo = nullptr;
    for (const auto &info : machine.UsbDevices()) {
      if (info.handle == handle) pdo = info.pdo;
    }
    bool removed = false;
    {
      CSession session(machine, pdo);
      session.Open(handles);
      session.Run(input);
      if (session.removeRequested && handle.Valid()) {
        machine.UnplugDevice(handle, true);
        removed = true;
        session.removeRequested = false;
        session.Run(input);  // the rest goes to the handles of a removed device
      }
    }
    if (handle.Valid() && !removed) machine.UnplugDevice(handle, false);
    machine.Pnp().WaitIdle();
    winsim::DebugLog::Clear();
  }
};

constexpr unsigned kRunsPerMachine = 100;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return qavfuzz::RecycledMachine<FuzzMachine>::Run(data, size, 2, kRunsPerMachine);
}
