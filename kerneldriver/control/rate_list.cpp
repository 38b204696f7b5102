// The discrete sampling frequencies of the current clock, from its RANGE
// answer: u16 wNumSubRanges, then per subrange u32 dMIN, dMAX, dRES.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kSubrangeBytes = 12;
constexpr ULONG kRangeAnswerBytes = 2 + kMaxRates * kSubrangeBytes;
static_assert(kRangeAnswerBytes == 194, "a RANGE answer holds at most sixteen subranges");

}  // namespace

bool ParseRateRange(const UCHAR *answer, ULONG length, ULONG (&rates)[kMaxRates]) {
  if (answer == nullptr || length < 2) return false;
  ULONG subranges = QavReadLe16(answer);
  if (subranges == 0 || subranges > kMaxRates) return false;
  QavZeroMemory(rates, sizeof(rates));
  ULONG stored = 0;
  // Only subranges the device actually sent are read.
  for (ULONG i = 0; i < subranges && 2 + (i + 1) * kSubrangeBytes <= length; ++i) {
    const UCHAR *subrange = answer + 2 + i * kSubrangeBytes;
    ULONG minimum = QavReadLe32(subrange);
    ULONG maximum = QavReadLe32(subrange + 4);
    if (minimum != maximum) break;
    rates[stored++] = minimum;
  }
  return true;
}

NTSTATUS AudioControlReadRateList(UsbAudioControl *control) {
  if (control->currentClockId == 0) return STATUS_DEVICE_NOT_READY;
  auto *answer = static_cast<PUCHAR>(QavAllocateNonPaged(kRangeAnswerBytes, kTagBuffer));
  if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ClassRequest request{true, kRequestRange, kClockControlFrequency, 0, control->currentClockId};
  ULONG received = 0;
  NTSTATUS status =
      UsbClassRequest(control->controlInterface, request, answer, kRangeAnswerBytes, kUsbTimeoutMs, &received);
  if (NT_SUCCESS(status) && !ParseRateRange(answer, received, control->rates)) {
    QAV_TRACE("RANGE answer with %u bytes not used", static_cast<unsigned>(received));
  }
  QavFree(answer, kTagBuffer);
  return status;
}
