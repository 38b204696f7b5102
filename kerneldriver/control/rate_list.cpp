// The sampling frequencies of the current clock, from its RANGE answer: u16
// wNumSubRanges, then per subrange u32 dMIN, dMAX, dRES.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kSubrangeBytes = 12;
// Room for more subranges than the table has rates: a device may list a
// rate twice, or list rates the table has no room for after the ones it has.
constexpr ULONG kMaxSubrangesRead = 32;
constexpr ULONG kRangeAnswerBytes = 2 + kMaxSubrangesRead * kSubrangeBytes;
static_assert(kRangeAnswerBytes == 386, "a RANGE answer read holds 32 subranges");

// The rates a continuous subrange stands for: the standard ones inside it.
const ULONG kStandardRates[] = {8000,  11025,  12000,  16000,  22050,  24000,  32000,  44100,
                                48000, 64000,  88200,  96000,  176400, 192000, 352800, 384000};

struct RateTable {
  ULONG (&rates)[kMaxRates];
  ULONG stored;
  bool full;
};

void Add(RateTable &table, ULONG rate) {
  if (rate == 0) return;
  for (ULONG i = 0; i < table.stored; ++i) {
    if (table.rates[i] == rate) return;
  }
  if (table.stored == kMaxRates) {
    table.full = true;
    return;
  }
  table.rates[table.stored++] = rate;
}

// dRES 0 on a continuous subrange names no grid: any rate inside is taken.
bool Inside(ULONG rate, ULONG minimum, ULONG maximum, ULONG resolution) {
  if (rate < minimum || rate > maximum) return false;
  return resolution == 0 || (rate - minimum) % resolution == 0;
}

void AddSubrange(RateTable &table, ULONG minimum, ULONG maximum, ULONG resolution) {
  if (minimum == maximum) {
    Add(table, minimum);
    return;
  }
  for (ULONG rate : kStandardRates) {
    if (Inside(rate, minimum, maximum, resolution)) Add(table, rate);
  }
}

}  // namespace

bool ParseRateRange(const UCHAR *answer, ULONG length, ULONG (&rates)[kMaxRates]) {
  if (answer == nullptr || length < 2) return false;
  ULONG subranges = QavReadLe16(answer);
  if (subranges == 0) return false;
  QavZeroMemory(rates, sizeof(rates));
  RateTable table{rates, 0, false};
  // Only subranges the device actually sent are read.
  for (ULONG i = 0; i < subranges && 2 + (i + 1) * kSubrangeBytes <= length; ++i) {
    const UCHAR *subrange = answer + 2 + i * kSubrangeBytes;
    AddSubrange(table, QavReadLe32(subrange), QavReadLe32(subrange + 4), QavReadLe32(subrange + 8));
  }
  if (table.full) {
    QAV_LOG(RangeTooManyRates, static_cast<unsigned>(kMaxRates));
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
    QAV_LOG(RangeBytesUnused, static_cast<unsigned>(received));
  }
  QavFree(answer, kTagBuffer);
  return status;
}
