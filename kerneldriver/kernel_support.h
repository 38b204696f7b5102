// Small freestanding helpers for kernel code: no C or C++ library exists in
// the driver image, so minimum/maximum, memory copies, little-endian reads of
// device data and zeroed pool allocation live here; trace points come from
// kerneldriver/trace/trace_log.h.
#pragma once
#include "kerneldriver/kernel_headers.h"
#include "kerneldriver/pool_tags.h"

template <typename T>
constexpr T QavMin(T a, T b) {
  return a < b ? a : b;
}

template <typename T>
constexpr T QavMax(T a, T b) {
  return a < b ? b : a;
}

template <typename T, ULONG N>
constexpr ULONG QavCountOf(const T (&)[N]) {
  return N;
}

// RtlCopyMemory/RtlZeroMemory are the kernel's own forms; the host's kernel
// headers do not provide them yet, where the compiler builtins stand in.
inline void QavCopyMemory(void *destination, const void *source, SIZE_T length) {
#if defined(RtlCopyMemory)
  RtlCopyMemory(destination, source, length);
#else
  __builtin_memcpy(destination, source, length);
#endif
}

inline void QavZeroMemory(void *destination, SIZE_T length) {
#if defined(RtlZeroMemory)
  RtlZeroMemory(destination, length);
#else
  __builtin_memset(destination, 0, length);
#endif
}

// Device data is little-endian and unaligned.
inline USHORT QavReadLe16(const UCHAR *p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
inline ULONG QavReadLe32(const UCHAR *p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
         (static_cast<ULONG>(p[3]) << 24);
}

// On the host build winsim's pool calls take the line that called them, for
// its leak, double-free and allocation-fault reports. The pool helpers below
// hand on their own caller's line, so those reports name the driver line, not
// this header. The Windows build sees plain calls.
#if defined(_WIN32)
#define QAV_CALLER_SITE
#define QAV_PASS_CALLER_SITE
#else
#define QAV_CALLER_SITE , WINSIM_CALLSITE
#define QAV_PASS_CALLER_SITE , winsimSite
#endif

// Zero-filled pool; null when pool runs out. Paged pool only below DISPATCH_LEVEL.
inline PVOID QavAllocateZeroed(POOL_TYPE poolType, SIZE_T bytes, ULONG tag QAV_CALLER_SITE) {
  PVOID block = ExAllocatePoolWithTag(poolType, bytes, tag QAV_PASS_CALLER_SITE);
  if (block != nullptr) QavZeroMemory(block, bytes);
  return block;
}

inline PVOID QavAllocateNonPaged(SIZE_T bytes, ULONG tag QAV_CALLER_SITE) {
  return QavAllocateZeroed(NonPagedPoolNx, bytes, tag QAV_PASS_CALLER_SITE);
}

// Null-safe free with the allocation's tag.
inline void QavFree(PVOID block, ULONG tag QAV_CALLER_SITE) {
  if (block != nullptr) ExFreePoolWithTag(block, tag QAV_PASS_CALLER_SITE);
}

// Relative wait interval for KeWaitForSingleObject/KeDelayExecutionThread.
inline LARGE_INTEGER QavRelativeMilliseconds(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * static_cast<LONGLONG>(milliseconds);
  return interval;
}

// Diagnostics: every trace point is a binary record of the trace log client
// (QAV_LOG / QAV_LOG_RT with a message of the shared catalogue).
#include "kerneldriver/trace/trace_log.h"
