#include "kerneldriver/stream/stream_state_lock.h"

void StreamStateLockInitialize(StreamStateLock *lock) {
  ExInitializeFastMutex(&lock->mutex);
  lock->owner = nullptr;
  lock->depth = 0;
}

// Only the owner ever writes its own thread into `owner`, so "is it me" needs
// no mutex; other threads read it while the owner writes it, so both sides
// use interlocked operations.
static HANDLE Owner(StreamStateLock *lock) {
  return InterlockedCompareExchangePointer(&lock->owner, nullptr, nullptr);
}

void StreamStateLockAcquire(StreamStateLock *lock) {
  HANDLE self = PsGetCurrentThreadId();
  if (Owner(lock) == self) {
    ++lock->depth;
    return;
  }
  ExAcquireFastMutex(&lock->mutex);
  InterlockedExchangePointer(&lock->owner, self);
  lock->depth = 1;
}

void StreamStateLockRelease(StreamStateLock *lock) {
  if (--lock->depth != 0) return;
  InterlockedExchangePointer(&lock->owner, nullptr);
  ExReleaseFastMutex(&lock->mutex);
}
