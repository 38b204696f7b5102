#include "winsim/devices/enumeration_capture.h"

#include <algorithm>
#include <span>
#include <vector>

#include "winsim/devices/byte_io.h"
#include "winsim/devices/clock_payloads.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

constexpr uint16_t kStringRequestLength = 255;
constexpr uint16_t kRangeRequestLength = 194;  // 16 discrete subranges

std::array<uint8_t, 8> Setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {type, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(index),
          static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

class Enumerator {
 public:
  Enumerator(usb::PcapWriter &writer, const EnumerationCaptureOptions &options)
      : m_writer(writer), m_options(options), m_time(options.startTime), m_urb(options.firstUrbId) {}

  // One control transfer; a null answer is a STALL. The IN answer is cut to wLength.
  void Control(const std::array<uint8_t, 8> &setup, const std::vector<uint8_t> *answer) {
    if (m_status != usb::PcapStatus::Ok) return;
    usb::PcapTransfer t;
    t.urbId = m_urb;
    m_urb += 0x100;
    t.kind = usb::UsbTransferKind::Control;
    t.bus = m_options.bus;
    t.device = m_options.address;
    t.setup = setup;
    const uint16_t wLength = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    t.length = wLength;
    m_status = m_writer.RecordSubmit(t, m_time);
    if (m_status != usb::PcapStatus::Ok) return;
    if (answer) {
      t.data = std::span<const uint8_t>(*answer).first(std::min<size_t>(answer->size(), wLength));
      t.length = static_cast<uint32_t>(t.data.size());
      t.status = usb::kUsbmonOk;
    } else {
      t.length = 0;
      t.status = usb::kUsbmonStall;
    }
    m_status = m_writer.RecordComplete(t, m_time + m_options.stepTime / 2);
    m_time += m_options.stepTime;
  }

  void GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                     const std::vector<uint8_t> *answer) {
    Control(Setup(kRequestTypeStandardIn, kRequestGetDescriptor, static_cast<uint16_t>(type << 8 | index), language,
                  length),
            answer);
  }

  void ClassGet(uint8_t request, uint8_t control, uint8_t entity, uint16_t length, const std::vector<uint8_t> &answer) {
    Control(Setup(kRequestTypeClassInterfaceIn, request, static_cast<uint16_t>(control << 8), uint16_t(entity << 8),
                  length),
            &answer);
  }

  usb::PcapStatus Status() const { return m_status; }

 private:
  usb::PcapWriter &m_writer;
  const EnumerationCaptureOptions &m_options;
  int64_t m_time;
  uint64_t m_urb;
  usb::PcapStatus m_status = usb::PcapStatus::Ok;
};

void ClockRequests(Enumerator &e, const DeviceModel &model) {
  for (const ClockSource &clock : model.clocks) {
    e.ClassGet(kRequestCur, kClockSamplingFrequencyControl, clock.id, 4,
               SamplingFrequencyCur(StartRate(model, clock)));
    e.ClassGet(kRequestRange, kClockSamplingFrequencyControl, clock.id, kRangeRequestLength,
               SamplingFrequencyRange(clock));
    e.ClassGet(kRequestCur, kClockValidityControl, clock.id, 1, {static_cast<uint8_t>(clock.validAtStart ? 1 : 0)});
  }
  if (model.selector) e.ClassGet(kRequestCur, kClockSelectorControl, model.selector->id, 1, {1});
}

}  // namespace

usb::PcapStatus CaptureEnumeration(usb::PcapWriter &writer, const DeviceDefinition &device,
                                   const EnumerationCaptureOptions &options) {
  const DescriptorSet &d = device.descriptors;
  Enumerator e(writer, options);
  e.GetDescriptor(kDevice, 0, 0, kDeviceLength, &d.device);
  e.GetDescriptor(kConfiguration, 0, 0, kConfigurationLength, &d.configuration);
  const uint16_t total = ReadU16(d.configuration, 2);
  e.GetDescriptor(kConfiguration, 0, 0, total, &d.configuration);
  e.GetDescriptor(kString, 0, 0, kStringRequestLength, d.String(0));
  for (const auto &[index, descriptor] : d.strings) {
    if (index != 0) e.GetDescriptor(kString, index, kLangEnglishUs, kStringRequestLength, &descriptor);
  }
  const std::vector<uint8_t> none;
  e.Control(Setup(kRequestTypeStandardOut, kRequestSetConfiguration, 1, 0, 0), &none);
  if (options.clockRequests && !device.model.firmwareUpdateMode) ClockRequests(e, device.model);
  return e.Status();
}

}  // namespace winsim::devices
