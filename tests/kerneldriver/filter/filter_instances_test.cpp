// The filter of a started device as ks.sys serves it: every client opens its
// own instance, which carries the device as its context; KSPROPERTY_PIN_NAME
// requests sent to the device answer for the filter's pins; the streaming
// pins' intersection handler proposes the rate the device's clock runs at.
#include <cstring>
#include <vector>

#include "kerneldriver/device/sample_rate.h"
#include "kerneldriver/ks/audio_intersection.h"
#include "kerneldriver/ks/filter_automation.h"
#include "kerneldriver/start/driver_harness.h"
#include "tests/kerneldriver/user_mode_client.h"
#include "winsim/ks/ks_filter.h"

namespace dstest {
namespace {

using FilterInstances = DriverStartTest;

// A KSPROPERTY_PIN_NAME get as ks.sys hands it to the filter's handler:
// the IRP's stack location on the device's functional device object, with
// the lengths of the request and of the value buffer.
class PinNameRequest {
 public:
  PinNameRequest(PKSDEVICE device, ULONG pinId, ULONG requestLength, ULONG valueLength)
      : m_value(valueLength, 0xCD) {
    m_request.Property = {KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET};
    m_request.PinId = pinId;
    m_irp = IoAllocateIrp(device->FunctionalDeviceObject->StackSize, FALSE);
    IoSetNextIrpStackLocation(m_irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->DeviceObject = device->FunctionalDeviceObject;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    stack->Parameters.DeviceIoControl.InputBufferLength = requestLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = valueLength;
  }
  ~PinNameRequest() { IoFreeIrp(m_irp); }

  NTSTATUS Send(PFNKSHANDLER handler) {
    m_irp->IoStatus.Information = 0xBAD;
    return handler(m_irp, &m_request.Property, m_value.empty() ? nullptr : m_value.data());
  }
  // As if sent to a device object that is not the driver's.
  void Misaddress(PDEVICE_OBJECT other) { IoGetCurrentIrpStackLocation(m_irp)->DeviceObject = other; }
  ULONG_PTR Information() const { return m_irp->IoStatus.Information; }
  const std::vector<UCHAR> &Value() const { return m_value; }

 private:
  KSP_PIN m_request{};
  std::vector<UCHAR> m_value;
  PIRP m_irp = nullptr;
};

PFNKSHANDLER PinNameHandlerOf(const KSFILTER_DESCRIPTOR &filter) {
  const KSAUTOMATION_TABLE *table = filter.AutomationTable;
  for (ULONG s = 0; table != nullptr && s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET &set = table->PropertySets[s];
    if (std::memcmp(set.Set, &KSPROPSETID_Pin, sizeof(GUID)) != 0) continue;
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      if (set.PropertyItem[i].PropertyId == KSPROPERTY_PIN_NAME) return set.PropertyItem[i].GetPropertyHandler;
    }
  }
  return nullptr;
}

TEST_F(FilterInstances, EveryClientGetsItsOwnFilterOnTheDevice) {
  Plug("Larch");
  PKSFILTER first = nullptr;
  PKSFILTER second = nullptr;
  ASSERT_EQ(winsim::ks::OpenFilter(Ctx().filterFactory, &first), STATUS_SUCCESS);
  ASSERT_EQ(winsim::ks::OpenFilter(Ctx().filterFactory, &second), STATUS_SUCCESS);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->Context, Context());
  EXPECT_EQ(second->Context, Context());
  EXPECT_EQ(first->Descriptor, &Ctx().filterDescriptor->filter);
  winsim::ks::CloseFilter(first);
  winsim::ks::CloseFilter(second);
}

TEST_F(FilterInstances, PinNameAnswersEveryPinOfTheFilterAndNoOther) {
  Plug("Larch");
  const KSFILTER_DESCRIPTOR &filter = *Ctx().filterFactory->FilterDescriptor;
  PFNKSHANDLER handler = PinNameHandlerOf(filter);
  ASSERT_NE(handler, nullptr);
  ASSERT_EQ(filter.PinDescriptorsCount, 12u);  // 4 audio pins, 8 for two MIDI cables
  struct Case {
    ULONG pinId;
    ULONG requestLength;
    ULONG valueLength;
    NTSTATUS status;
  };
  for (Case c : {Case{0, sizeof(KSP_PIN), 0, STATUS_SUCCESS}, Case{3, sizeof(KSP_PIN), 64, STATUS_SUCCESS},
                 Case{12, sizeof(KSP_PIN), 64, STATUS_INVALID_PARAMETER},
                 Case{0xFFFFFFFF, sizeof(KSP_PIN), 64, STATUS_INVALID_PARAMETER},
                 Case{0, sizeof(KSPROPERTY), 64, STATUS_INVALID_PARAMETER}}) {
    SCOPED_TRACE(testing::Message() << "pin " << c.pinId << ", request " << c.requestLength);
    PinNameRequest request(Ctx().device, c.pinId, c.requestLength, c.valueLength);
    EXPECT_EQ(request.Send(handler), c.status);
    EXPECT_EQ(request.Information(), 0u);
    EXPECT_EQ(request.Value(), std::vector<UCHAR>(c.valueLength, 0xCD)) << "an empty name writes nothing";
  }
  for (PDEVICE_OBJECT other : {static_cast<PDEVICE_OBJECT>(nullptr), pdo}) {
    PinNameRequest request(Ctx().device, 0, sizeof(KSP_PIN), 64);
    request.Misaddress(other);
    EXPECT_EQ(request.Send(handler), STATUS_INVALID_PARAMETER) << "no device context behind the device object";
  }
}

// Client ranges as a system audio client offers them.
KSDATARANGE_AUDIO ClientRange(ULONG maxRate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = 2;
  r.MinimumBitsPerSample = 16;
  r.MaximumBitsPerSample = 32;
  r.MinimumSampleFrequency = 8000;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

// Sent as a client sends it, so the handler finds its device through the
// filter the request reached, whatever ks.sys passes as its context.
TEST_F(FilterInstances, IntersectionProposesTheRateTheClockRunsAt) {
  Plug("Larch");
  umclient::CKsHandle filter = umclient::CKsHandle::OpenFilter(machine);
  ASSERT_TRUE(filter.Valid());
  struct Step {
    ULONG deviceRate;
    ULONG clientMaxRate;
    DWORD error;
  };
  for (Step step : {Step{48000, 96000, ERROR_SUCCESS}, Step{96000, 96000, ERROR_SUCCESS},
                    Step{96000, 48000, ERROR_NO_MATCH}}) {
    SCOPED_TRACE(step.deviceRate);
    ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), step.deviceRate), STATUS_SUCCESS);
    struct {
      KSP_PIN pin;
      KSMULTIPLE_ITEM list;
      KSDATARANGE_AUDIO client;
    } request{{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, 0, 0},
              {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), 1},
              ClientRange(step.clientMaxRate)};
    UCHAR out[kIntersectWaveSize];
    const size_t requestsBefore = bus->RequestCount();
    umclient::KsReply reply = filter.Property(request, out, sizeof out);
    EXPECT_EQ(reply.error, step.error);
    EXPECT_GT(bus->RequestCount(), requestsBefore) << "the rate is read from the clock";
    if (step.error != ERROR_SUCCESS) continue;
    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, out + sizeof(KSDATAFORMAT), sizeof wave);
    EXPECT_EQ(wave.Format.nSamplesPerSec, step.deviceRate);
    EXPECT_EQ(wave.Format.nChannels, 2);
    EXPECT_EQ(wave.Format.nBlockAlign, 8);
  }
}

}  // namespace
}  // namespace dstest
