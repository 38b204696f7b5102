// A lock for the few bytes of the time record that the streaming thread
// writes and host threads read: held for a copy, never across a call, so a
// spin is all it needs (and it works with every MinGW thread model).
#pragma once
#include <atomic>

namespace qavasio {

class CTimeLock {
 public:
  void lock() {
    while (m_flag.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() { m_flag.clear(std::memory_order_release); }

 private:
  std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

// Holds a CTimeLock for a scope.
class CTimeLockHolder {
 public:
  explicit CTimeLockHolder(CTimeLock &lock) : m_lock(lock) { m_lock.lock(); }
  ~CTimeLockHolder() { m_lock.unlock(); }
  CTimeLockHolder(const CTimeLockHolder &) = delete;
  CTimeLockHolder &operator=(const CTimeLockHolder &) = delete;

 private:
  CTimeLock &m_lock;
};

}  // namespace qavasio
