#include "kerneldriver/ks/pin/pin_timing.h"

namespace {
constexpr ULONGLONG kUnitsPerSecond = 10000000;
}

LONGLONG ClientBytesToTime(ULONGLONG bytes, ULONG bytesPerSecond) {
  if (bytesPerSecond == 0) return 0;
  const ULONGLONG seconds = bytes / bytesPerSecond;
  const ULONGLONG rest = bytes % bytesPerSecond;
  return static_cast<LONGLONG>(seconds * kUnitsPerSecond + rest * kUnitsPerSecond / bytesPerSecond);
}

bool StampFrame(ULONGLONG bytesProcessed, ULONGLONG *nextStampOffset, ULONG frameBytes, ULONG bytesPerSecond,
                KSSTREAM_HEADER *header) {
  if (bytesProcessed < *nextStampOffset) return false;
  header->PresentationTime.Time = ClientBytesToTime(*nextStampOffset, bytesPerSecond);
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = ClientBytesToTime(frameBytes, bytesPerSecond);
  header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  *nextStampOffset += frameBytes;
  return true;
}

ULONG AllocatorFrameSize(ULONG urbSize, ULONG rate, ULONG blockAlign) {
  ULONGLONG frames = static_cast<ULONGLONG>(urbSize) * rate / 1000;
  if (rate % 1000 != 0) ++frames;
  const ULONGLONG bytes = frames * blockAlign;
  return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(bytes);
}
