#include "kerneldriver/ks/pin/rate_event.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"

namespace {

struct RateEventWork {
  PIO_WORKITEM workItem;
  UsbAudioDevice *device;
  ULONG rate;
};

IO_WORKITEM_ROUTINE RaiseRateEvent;

void RaiseRateEvent(PDEVICE_OBJECT, PVOID context) {
  auto *work = static_cast<RateEventWork *>(context);
  UsbAudioDevice *device = work->device;
  ULONG rate = work->rate;
  UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_SAMPLE_RATE_CHANGED, sizeof(rate), &rate);
  IoFreeWorkItem(work->workItem);
  QavFree(work, kTagSmall);
  IoReleaseRemoveLock(&device->removeLock, work);
}

}  // namespace

void QueueRateChangedEvent(UsbAudioDevice *device, ULONG rate) {
  auto *work = static_cast<RateEventWork *>(QavAllocateNonPaged(sizeof(RateEventWork), kTagSmall));
  if (work == nullptr) {
    QAV_LOG(RateEventNoPool, static_cast<unsigned>(rate));
    return;
  }
  if (!NT_SUCCESS(IoAcquireRemoveLock(&device->removeLock, work))) {
    QavFree(work, kTagSmall);
    return;
  }
  work->workItem = IoAllocateWorkItem(device->device->FunctionalDeviceObject);
  if (work->workItem == nullptr) {
    QAV_LOG(RateEventNoWorkItem, static_cast<unsigned>(rate));
    IoReleaseRemoveLock(&device->removeLock, work);
    QavFree(work, kTagSmall);
    return;
  }
  work->device = device;
  work->rate = rate;
  IoQueueWorkItem(work->workItem, RaiseRateEvent, DelayedWorkQueue, work);
}
