#include "kerneldriver/midi/midi_pin_dispatch.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/midi/midi_pin.h"
#include "kerneldriver/midi/midi_port.h"

namespace {

constexpr ULONG kMusicHeaderBytes = sizeof(KSMUSICFORMAT);
static_assert(sizeof(KSMUSICFORMAT) == 8, "KSMUSICFORMAT layout");

ULONG PadToFour(ULONG bytes) { return (bytes + 3) & ~3u; }

void FreePinContext(PVOID context) { UsbMidiPinFree(static_cast<UsbMidiPin *>(context)); }

UsbMidiCable *TakeCable(UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->device->midiLock, &irql);
  UsbMidiCable *cable = pin->cable;
  pin->cable = nullptr;
  if (cable != nullptr) UsbMidiCableDetachPin(cable, pin);
  KeReleaseSpinLock(&pin->device->midiLock, irql);
  return cable;
}

NTSTATUS MidiPinCreate(PKSPIN ksPin, PIRP) {
  UsbAudioDevice *device = AudioDeviceFromKs(KsPinGetDevice(ksPin));
  UsbMidiCable *cable = device != nullptr ? UsbAudioDeviceMidiCable(device, ksPin->Id) : nullptr;
  if (cable == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UsbMidiPin *pin = UsbMidiPinCreate(ksPin, cable);
  if (pin == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  pin->device = device;
  NTSTATUS status = KsAddItemToObjectBag(ksPin->Bag, pin, FreePinContext);
  if (!NT_SUCCESS(status)) {
    UsbMidiPinFree(pin);
    return status;
  }
  ksPin->Context = pin;
  if (!UsbMidiCableAttachPin(cable, pin)) QAV_LOG(MidiCableFull, static_cast<unsigned>(cable->number));
  return STATUS_SUCCESS;
}

NTSTATUS MidiPinClose(PKSPIN ksPin, PIRP) {
  auto *pin = static_cast<UsbMidiPin *>(ksPin->Context);
  if (pin != nullptr) TakeCable(pin);
  return STATUS_SUCCESS;
}

NTSTATUS MidiPinSetDeviceState(PKSPIN ksPin, KSSTATE to, KSSTATE from) {
  auto *pin = static_cast<UsbMidiPin *>(ksPin->Context);
  if (pin == nullptr || to != KSSTATE_RUN || from == KSSTATE_RUN) return STATUS_SUCCESS;
  const USB_BUS_INTERFACE_USBDI_V2 &bus = pin->device->config.busInterface;
  ULONG frame = 0;
  if (bus.Size != 0 && bus.QueryBusTime != nullptr && NT_SUCCESS(bus.QueryBusTime(bus.BusContext, &frame))) {
    pin->startFrame = frame;
  }
  return STATUS_SUCCESS;
}

// One queued message (or what is left of it) into the next frame.
NTSTATUS ProcessCapture(UsbMidiPin *pin) {
  MidiCaptureEntry *entry = UsbMidiPinTakeEntry(pin);
  if (entry == nullptr) return STATUS_PENDING;
  PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (frame == nullptr) {
    UsbMidiPinReturnEntry(pin, entry);
    return STATUS_PENDING;
  }
  const ULONG room = frame->OffsetOut.Remaining;
  ULONG used = room;  // a frame too small for a record is given back empty-handed
  if (room > kMusicHeaderBytes) {
    auto *music = reinterpret_cast<KSMUSICFORMAT *>(frame->OffsetOut.Data);
    const ULONG count = QavMin(room - kMusicHeaderBytes, entry->length - entry->consumed);
    music->TimeDeltaMs = entry->time;
    music->ByteCount = count;
    QavCopyMemory(frame->OffsetOut.Data + kMusicHeaderBytes, entry->bytes + entry->consumed, count);
    entry->consumed += count;
    used = QavMin(PadToFour(kMusicHeaderBytes + count), room);
  }
  KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, used, TRUE);
  if (entry->consumed < entry->length) {
    UsbMidiPinReturnEntry(pin, entry);
  } else {
    UsbMidiPinFreeEntry(pin, entry);
  }
  return UsbMidiPinQueued(pin) != 0 ? STATUS_SUCCESS : STATUS_PENDING;
}

// Every KSMUSICFORMAT record of the frame, each bounded by the frame.
void WriteRecords(UsbMidiCable *cable, const UCHAR *data, ULONG length) {
  for (ULONG at = 0; at < length && length - at > kMusicHeaderBytes;) {
    KSMUSICFORMAT music;
    QavCopyMemory(&music, data + at, kMusicHeaderBytes);
    const ULONG available = length - at - kMusicHeaderBytes;
    const ULONG count = QavMin(music.ByteCount, available);
    if (cable != nullptr && count != 0) UsbMidiCableWrite(cable, data + at + kMusicHeaderBytes, count);
    if (music.ByteCount >= available) break;
    at += PadToFour(kMusicHeaderBytes + count);
  }
}

NTSTATUS ProcessRender(UsbMidiPin *pin) {
  for (PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pin->pin, KSSTREAM_POINTER_STATE_LOCKED);
       frame != nullptr; frame = KsPinGetLeadingEdgeStreamPointer(pin->pin, KSSTREAM_POINTER_STATE_LOCKED)) {
    const ULONG length = frame->OffsetIn.Remaining;
    UsbMidiCable *cable = UsbMidiPinHoldCable(pin);
    WriteRecords(cable, frame->OffsetIn.Data, length);
    if (cable != nullptr) UsbMidiCableRelease(pin, cable);
    KsStreamPointerAdvanceOffsetsAndUnlock(frame, length, 0, TRUE);
  }
  return STATUS_SUCCESS;
}

NTSTATUS MidiPinProcess(PKSPIN ksPin) {
  auto *pin = static_cast<UsbMidiPin *>(ksPin->Context);
  if (pin == nullptr) return STATUS_PENDING;
  return ksPin->DataFlow == KSPIN_DATAFLOW_OUT ? ProcessCapture(pin) : ProcessRender(pin);
}

}  // namespace

const KSPIN_DISPATCH kMidiPinDispatch = {MidiPinCreate, MidiPinClose, MidiPinProcess, nullptr, nullptr,
                                         MidiPinSetDeviceState, nullptr, nullptr, nullptr, nullptr};

UsbMidiCable *UsbMidiPinHoldCable(UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->device->midiLock, &irql);
  UsbMidiCable *cable = pin->cable;
  if (cable != nullptr && cable->port->holds++ == 0) KeClearEvent(&cable->port->holdsGone);
  KeReleaseSpinLock(&pin->device->midiLock, irql);
  return cable;
}

void UsbMidiCableRelease(UsbMidiPin *pin, UsbMidiCable *cable) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->device->midiLock, &irql);
  UsbMidiPort *port = cable->port;
  // Signalled under the lock: the port may be freed the moment it is.
  if (--port->holds == 0) KeSetEvent(&port->holdsGone, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&pin->device->midiLock, irql);
}

void MidiPinsForgetPort(UsbMidiPort *port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->device->midiLock, &irql);
  for (ULONG i = 0; i < port->cableCount; ++i) {
    UsbMidiCable *cable = port->cables[i];
    for (UsbMidiPin *&entry : cable->pins) {
      if (entry != nullptr) entry->cable = nullptr;
      entry = nullptr;
    }
  }
  KeReleaseSpinLock(&port->device->midiLock, irql);
}
