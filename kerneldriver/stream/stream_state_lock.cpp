#include "kerneldriver/stream/stream_state_lock.h"

void StreamStateLockInitialize(StreamStateLock *lock) {
  ExInitializeFastMutex(&lock->mutex);
  lock->owner = nullptr;
  lock->depth = 0;
}

// Only the owner ever writes its own thread into `owner`, so "is it me" can
// be read without the mutex.
void StreamStateLockAcquire(StreamStateLock *lock) {
  HANDLE self = PsGetCurrentThreadId();
  if (lock->owner == self) {
    ++lock->depth;
    return;
  }
  ExAcquireFastMutex(&lock->mutex);
  lock->owner = self;
  lock->depth = 1;
}

void StreamStateLockRelease(StreamStateLock *lock) {
  if (--lock->depth != 0) return;
  lock->owner = nullptr;
  ExReleaseFastMutex(&lock->mutex);
}
