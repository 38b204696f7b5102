#include "uac2common/asiodriver/mm_thread_class.h"

#include <avrt.h>

#include <type_traits>

namespace qavasio {
namespace {

using SetCharacteristicsFn = HANDLE(WINAPI *)(LPCSTR taskName, LPDWORD taskIndex);
// The exports' own types: a call through a pointer of another type (an int
// for the priority enum) is undefined, whatever the calling convention.
using SetPriorityFn = BOOL(WINAPI *)(HANDLE task, AVRT_PRIORITY priority);
using RevertFn = BOOL(WINAPI *)(HANDLE task);
static_assert(std::is_same_v<SetCharacteristicsFn, decltype(&AvSetMmThreadCharacteristicsA)>);
static_assert(std::is_same_v<SetPriorityFn, decltype(&AvSetMmThreadPriority)>);
static_assert(std::is_same_v<RevertFn, decltype(&AvRevertMmThreadCharacteristics)>);

// The value 2 is what the driver has always asked for. The avrt enumeration
// names it CRITICAL, one step above HIGH; both stay below the real-time
// ceiling the "Pro Audio" class imposes, so the stronger one is kept.
constexpr AVRT_PRIORITY kStreamingPriority = AVRT_PRIORITY_CRITICAL;

struct AvrtFunctions {
  SetCharacteristicsFn setCharacteristics = nullptr;
  SetPriorityFn setPriority = nullptr;
  RevertFn revert = nullptr;
};

template <typename T>
T Export(HMODULE module, LPCSTR name) {
  return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// avrt.dll stays loaded for the process once found: the thread that joined
// must be able to revert whenever it leaves.
AvrtFunctions Avrt() {
  AvrtFunctions functions;
  HMODULE avrt = LoadLibraryA("avrt.dll");
  if (avrt == nullptr) return functions;
  functions.setCharacteristics = Export<SetCharacteristicsFn>(avrt, "AvSetMmThreadCharacteristicsA");
  functions.setPriority = Export<SetPriorityFn>(avrt, "AvSetMmThreadPriority");
  functions.revert = Export<RevertFn>(avrt, "AvRevertMmThreadCharacteristics");
  return functions;
}

}  // namespace

CMmThreadClass::~CMmThreadClass() { Leave(); }

bool CMmThreadClass::Join() {
  if (m_task != nullptr) return true;
  const AvrtFunctions avrt = Avrt();
  if (avrt.setCharacteristics == nullptr || avrt.revert == nullptr) return false;
  DWORD taskIndex = 0;
  HANDLE task = avrt.setCharacteristics("Pro Audio", &taskIndex);
  if (task == nullptr) return false;
  m_task = task;
  if (avrt.setPriority != nullptr) avrt.setPriority(task, kStreamingPriority);
  return true;
}

void CMmThreadClass::Leave() {
  if (m_task == nullptr) return;
  const AvrtFunctions avrt = Avrt();
  if (avrt.revert != nullptr) avrt.revert(m_task);
  m_task = nullptr;
}

}  // namespace qavasio
