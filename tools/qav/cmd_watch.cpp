// `qav watch [SECONDS]`: enables the driver's four events on the device's
// filter, each signalling its own event handle, and prints a line for each
// as it arrives, with what changed read back from the driver. Ends after
// SECONDS, or when the device goes.
#include <cstdio>

#include "tools/qav/command_args.h"
#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "tools/qav/timed_command.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

constexpr uint32_t kDefaultSeconds = 10;
constexpr uint32_t kMaxSeconds = 86400;

// The enabled events. The KSEVENTDATA records stay here until disabled: the
// driver's side refers to them by address.
class CEventWatch {
 public:
  explicit CEventWatch(CKsFilter &filter) : m_filter(filter) {}
  ~CEventWatch() {
    for (ULONG id = 0; id < KSEVENT_UAC_COUNT; ++id) {
      if (m_enabled[id]) {
        CKsIrpTarget::SyncIoctl(m_filter.GetHandle(), IOCTL_KS_DISABLE_EVENT, &m_data[id], sizeof m_data[id], nullptr,
                                0);
      }
      if (m_events[id] != nullptr) CloseHandle(m_events[id]);
    }
  }
  CEventWatch(const CEventWatch &) = delete;
  CEventWatch &operator=(const CEventWatch &) = delete;

  bool Enable() {
    for (ULONG id = 0; id < KSEVENT_UAC_COUNT; ++id) {
      m_events[id] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      if (m_events[id] == nullptr) return false;
      KSEVENT request{};
      request.Set = KSEVENTSETID_UacPrivate;
      request.Id = id;
      request.Flags = KSEVENT_TYPE_ENABLE;
      m_data[id].NotificationType = KSEVENTF_EVENT_HANDLE;
      m_data[id].EventHandle.Event = m_events[id];
      ULONG bytes = 0;
      if (FAILED(CKsIrpTarget::SyncIoctl(m_filter.GetHandle(), IOCTL_KS_ENABLE_EVENT, &request, sizeof request,
                                         &m_data[id], sizeof m_data[id], &bytes))) {
        return false;
      }
      m_enabled[id] = true;
    }
    return true;
  }

  // The id of the event that arrived within `milliseconds`, kNone when
  // none did, kFailed when the wait failed.
  static constexpr ULONG kNone = KSEVENT_UAC_COUNT;
  static constexpr ULONG kFailed = KSEVENT_UAC_COUNT + 1;
  ULONG Wait(DWORD milliseconds) {
    const DWORD result = WaitForMultipleObjects(KSEVENT_UAC_COUNT, m_events, FALSE, milliseconds);
    if (result == WAIT_TIMEOUT) return kNone;
    return result < WAIT_OBJECT_0 + KSEVENT_UAC_COUNT ? result - WAIT_OBJECT_0 : kFailed;
  }

 private:
  CKsFilter &m_filter;
  HANDLE m_events[KSEVENT_UAC_COUNT] = {};
  KSEVENTDATA m_data[KSEVENT_UAC_COUNT] = {};
  bool m_enabled[KSEVENT_UAC_COUNT] = {};
};

std::string Stamp(ULONGLONG elapsedMs) {
  char text[24];
  std::snprintf(text, sizeof text, "[%8.3f s] ", static_cast<double>(elapsedMs) / 1000.0);
  return text;
}

std::string DescribeEvent(CQavDevice &device, ULONG id) {
  ULONG value = 0;
  switch (id) {
    case KSEVENT_UAC_SAMPLE_RATE_CHANGED:
      return SUCCEEDED(device.GetU32(KSPROPERTY_UAC_SAMPLE_RATE, &value))
                 ? "sample rate changed: now " + std::to_string(value) + " Hz"
                 : "sample rate changed";
    case KSEVENT_UAC_URB_SIZE_CHANGED:
      return SUCCEEDED(device.GetU32(KSPROPERTY_UAC_URB_SIZE, &value))
                 ? "USB performance mode changed: now " + ModeName(value) + " (" + std::to_string(value) +
                       " ms per USB transfer)"
                 : "USB performance mode changed";
    case KSEVENT_UAC_STATUS_INTERRUPT:
      return "status interrupt from the device (a clock's validity or a control may have changed)";
    default:
      return "device removed";
  }
}

}  // namespace

int RunWatch(CConsole &console, const Args &args) {
  uint32_t seconds = 0;
  CQavDevice device;
  if (const int opened = OpenTimedCommand(console, args, kDefaultSeconds, kMaxSeconds, &seconds, &device);
      opened != kExitOk) {
    return opened;
  }
  CEventWatch watch(device.Filter());
  if (!watch.Enable()) {
    console.Err("the driver did not enable its events on the device's filter");
    return kExitFailed;
  }
  console.Out("watching " + device.Name() + " for " + std::to_string(seconds) + " s");
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG end = start + static_cast<ULONGLONG>(seconds) * 1000;
  for (ULONGLONG now = start; now < end; now = GetTickCount64()) {
    const ULONG id = watch.Wait(static_cast<DWORD>(end - now));
    if (id == CEventWatch::kFailed) {
      console.Err("waiting for the driver's events failed");
      return kExitFailed;
    }
    if (id == CEventWatch::kNone) continue;
    console.Out(Stamp(GetTickCount64() - start) + DescribeEvent(device, id));
    if (id == KSEVENT_UAC_DEVICE_REMOVED) return kExitOk;
  }
  return kExitOk;
}

}  // namespace qav
