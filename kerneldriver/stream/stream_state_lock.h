// The lock that serialises the state of a device's streams: preparing,
// starting, stopping and freeing them, whoever asks (the audio pins entering
// and leaving RUN, the UrbSize change, the power callbacks, the sample-rate
// change). Pins change state under their own filter and pin mutexes, not
// under the KS device mutex, so the device needs a lock of its own for this.
//
// A fast mutex with an owner: the thread that holds it may take it again
// (each acquisition balanced by a release), so a caller can hold it across a
// sequence of stream operations that each take it too. The holder runs at
// APC_LEVEL: nothing PASSIVE-only (registry, KsAcquireDevice) happens under
// it.
//
// Order: when both are held, the KS device mutex is taken first and the
// stream state lock second; never the other way round. URB completions and
// the recovery work item do not take it.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct StreamStateLock {
  FAST_MUTEX mutex;
  PVOID volatile owner;  // id of the holding thread; interlocked access only
  ULONG depth;  // acquisitions by the owner not yet released
};

void StreamStateLockInitialize(StreamStateLock *lock);
// PASSIVE_LEVEL, or APC_LEVEL when the calling thread holds it already.
void StreamStateLockAcquire(StreamStateLock *lock);
void StreamStateLockRelease(StreamStateLock *lock);
