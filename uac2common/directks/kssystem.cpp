#include "uac2common/directks/kssystem.h"

namespace directks {

void KsSystemCalls::Reset() {
  deviceIoControl = &::DeviceIoControl;
  createEvent = &::CreateEventA;
  waitForSingleObject = &::WaitForSingleObject;
}

KsSystemCalls &KsSystem() {
  static KsSystemCalls calls = [] {
    KsSystemCalls initial{};
    initial.Reset();
    return initial;
  }();
  return calls;
}

}  // namespace directks
