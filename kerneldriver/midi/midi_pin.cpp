#include "kerneldriver/midi/midi_pin.h"

#include "kerneldriver/kernel_support.h"

namespace {

constexpr USHORT kLookasideDepth = 0;

bool Append(UsbMidiPin *pin, const MidiMessage &message, ULONG time) {
  if (message.length >= kMidiMsgMaxData) {
    QAV_LOG(MidiMessageOversized, static_cast<unsigned>(message.length));
    return false;
  }
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  auto *entry = pin->queued < kMidiPinQueueLimit
                    ? static_cast<MidiCaptureEntry *>(ExAllocateFromNPagedLookasideList(&pin->entries))
                    : nullptr;
  if (entry != nullptr) {
    entry->time = time;
    entry->length = message.length;
    entry->consumed = 0;
    QavCopyMemory(entry->bytes, message.bytes, message.length);
    InsertTailList(&pin->queue, &entry->link);
    ++pin->queued;
  }
  KeReleaseSpinLock(&pin->queueLock, irql);
  return entry != nullptr;
}

}  // namespace

UsbMidiPin *UsbMidiPinCreate(PKSPIN pin, UsbMidiCable *cable) {
  auto *context = static_cast<UsbMidiPin *>(QavAllocateNonPaged(sizeof(UsbMidiPin), kTagObject));
  if (context == nullptr) return nullptr;
  context->pin = pin;
  context->cable = cable;
  KeInitializeSpinLock(&context->queueLock);
  InitializeListHead(&context->queue);
  ExInitializeNPagedLookasideList(&context->entries, nullptr, nullptr, 0, sizeof(MidiCaptureEntry), kTagMidiEntries,
                                  kLookasideDepth);
  return context;
}

void UsbMidiPinFree(UsbMidiPin *pin) {
  if (pin == nullptr) return;
  for (MidiCaptureEntry *entry = UsbMidiPinTakeEntry(pin); entry != nullptr; entry = UsbMidiPinTakeEntry(pin)) {
    UsbMidiPinFreeEntry(pin, entry);
  }
  ExDeleteNPagedLookasideList(&pin->entries);
  QavFree(pin, kTagObject);
}

ULONG EnqueueMidiMessage(UsbMidiPin *pin, const MidiMessage *messages, ULONG count, ULONG frame) {
  const ULONG time = frame - pin->startFrame;
  ULONG queued = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (Append(pin, messages[i], time)) {
      ++queued;
    } else {
      InterlockedIncrement(&pin->dropped);
    }
  }
  if (queued != 0 && pin->pin != nullptr) KsPinAttemptProcessing(pin->pin, TRUE);
  return queued;
}

MidiCaptureEntry *UsbMidiPinTakeEntry(UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  MidiCaptureEntry *entry = nullptr;
  if (!IsListEmpty(&pin->queue)) {
    entry = CONTAINING_RECORD(RemoveHeadList(&pin->queue), MidiCaptureEntry, link);
    --pin->queued;
  }
  KeReleaseSpinLock(&pin->queueLock, irql);
  return entry;
}

void UsbMidiPinReturnEntry(UsbMidiPin *pin, MidiCaptureEntry *entry) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  InsertHeadList(&pin->queue, &entry->link);
  ++pin->queued;
  KeReleaseSpinLock(&pin->queueLock, irql);
}

ULONG UsbMidiPinQueued(UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  const ULONG queued = pin->queued;
  KeReleaseSpinLock(&pin->queueLock, irql);
  return queued;
}

void UsbMidiPinFreeEntry(UsbMidiPin *pin, MidiCaptureEntry *entry) { ExFreeToNPagedLookasideList(&pin->entries, entry); }
