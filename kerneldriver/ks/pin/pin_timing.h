// The arithmetic of a pin's position: time stamps of its frames and the
// allocator framing it proposes. Pure; any IRQL.
#pragma once
#include "kerneldriver/kernel_headers.h"

// 100 ns units of `bytes` of client audio at `bytesPerSecond`, without
// overflow for any 64-bit byte count. 0 when bytesPerSecond is 0.
LONGLONG ClientBytesToTime(ULONGLONG bytes, ULONG bytesPerSecond);

// A frame the pin enters with `bytesProcessed` bytes behind it: when that
// reaches *nextStampOffset the frame is stamped (presentation time of the
// offset, duration of its `frameBytes`, both flags) and the offset moves
// past it; a frame entered again after a partial pass is not stamped twice.
// Returns whether it stamped.
bool StampFrame(ULONGLONG bytesProcessed, ULONGLONG *nextStampOffset, ULONG frameBytes, ULONG bytesPerSecond,
                KSSTREAM_HEADER *header);

// Bytes of one allocator frame: UrbSize milliseconds of samples, one more
// sample frame for a rate that is not a whole number of kHz, times the
// client's block size.
ULONG AllocatorFrameSize(ULONG urbSize, ULONG rate, ULONG blockAlign);
