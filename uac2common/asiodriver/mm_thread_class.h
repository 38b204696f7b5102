// The multimedia class scheduler's "Pro Audio" task for the streaming thread,
// through avrt.dll loaded at run time (a system without it streams at the
// thread's ordinary priority).
#pragma once
#include <windows.h>

namespace qavasio {

class CMmThreadClass {
 public:
  CMmThreadClass() = default;
  // Leaves the class if Join succeeded and Leave was not called.
  ~CMmThreadClass();
  CMmThreadClass(const CMmThreadClass &) = delete;
  CMmThreadClass &operator=(const CMmThreadClass &) = delete;

  // Joins "Pro Audio" at high priority on the calling thread; false when
  // avrt.dll or its functions are missing or the scheduler refused.
  bool Join();
  // Reverts the calling thread; balanced with a successful Join.
  void Leave();
  bool Joined() const { return m_task != nullptr; }

 private:
  HANDLE m_task = nullptr;
};

}  // namespace qavasio
