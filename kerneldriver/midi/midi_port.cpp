// Creating and destroying ports and their cables, and pins' attachment.
#include "kerneldriver/midi/midi_port.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_pin.h"
#include "kerneldriver/midi/midi_pin_dispatch.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

constexpr UCHAR kMsGeneral = 0x01;

UsbMidiCable *CreateCable(UsbMidiPort *port, ULONG number) {
  auto *cable = static_cast<UsbMidiCable *>(QavAllocateNonPaged(sizeof(UsbMidiCable), kTagObject));
  if (cable == nullptr) return nullptr;
  cable->number = number;
  cable->port = port;
  ExInitializeFastMutex(&cable->writeMutex);
  KeInitializeSpinLock(&cable->lock);
  MidiStreamParserReset(&cable->parser);
  return cable;
}

void FreeTransfers(UsbMidiPort *port) {
  for (MidiTransfer &t : port->transfers) {
    if (t.irp != nullptr) IoFreeIrp(t.irp);
    QavFree(t.urb, kTagBuffer);
    QavFree(t.buffer, kTagBuffer);
    t.irp = nullptr;
    t.urb = nullptr;
    t.buffer = nullptr;
  }
}

void FreePort(UsbMidiPort *port) {
  FreeTransfers(port);
  for (ULONG i = 0; i < port->cableCount; ++i) QavFree(port->cables[i], kTagObject);
  QavFree(port, kTagObject);
}

NTSTATUS AllocateTransfers(UsbMidiPort *port, PDEVICE_OBJECT lower) {
  for (ULONG i = 0; i < kMidiBuffers; ++i) {
    MidiTransfer &t = port->transfers[i];
    t.port = port;
    t.index = i;
    t.buffer = static_cast<PUCHAR>(QavAllocateNonPaged(port->maxPacket, kTagBuffer));
    t.urb = static_cast<PURB>(QavAllocateNonPaged(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagBuffer));
    t.irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    if (t.buffer == nullptr || t.urb == nullptr || t.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&port->bufferFree[i], NotificationEvent, FALSE);
  }
  return STATUS_SUCCESS;
}

bool CreateCables(UsbMidiPort *port, ULONG count) {
  for (ULONG n = 0; n < count; ++n) {
    UsbMidiCable *cable = CreateCable(port, n);
    if (cable == nullptr) return false;
    port->cables[port->cableCount++] = cable;
    port->cableByNumber[n] = cable;
  }
  return true;
}

bool TransferTypeServed(const UsbPipe *pipe) {
  return pipe->pipeType == UsbdPipeTypeBulk || pipe->pipeType == UsbdPipeTypeInterrupt;
}

}  // namespace

ULONG MidiEndpointCableCount(DescriptorBytes bytes, const USB_ENDPOINT_DESCRIPTOR *endpoint) {
  if (endpoint == nullptr) return 0;
  const auto *cs = reinterpret_cast<const UCHAR *>(DescriptorAfter(bytes, endpoint));
  if (cs == nullptr || cs[1] != kDescriptorTypeCsEndpoint || cs[0] < kMinMidiEndpointLength ||
      cs[kOffsetDescriptorSubtype] != kMsGeneral) {
    return 0;
  }
  const ULONG listed = cs[0] - kMinMidiEndpointLength;  // jack ids present after the count
  return QavMin(QavMin(static_cast<ULONG>(cs[kOffsetMidiJackCount]), listed), kMidiCableNumbers);
}

UsbMidiPort *UsbMidiPortCreate(UsbAudioDevice *device, UsbPipe *pipe) {
  PDEVICE_OBJECT lower = UsbLowerDevice(&device->config);
  if (pipe == nullptr || lower == nullptr || !TransferTypeServed(pipe)) return nullptr;
  const ULONG cables = MidiEndpointCableCount(ConfigBytes(&device->config), pipe->endpoint);
  if (cables == 0 || pipe->maximumPacketSize < kMidiPacketBytes) {
    QAV_LOG(MidiEndpointPassedOver, static_cast<unsigned>(pipe->endpointAddress), static_cast<unsigned>(cables),
              static_cast<unsigned>(pipe->maximumPacketSize));
    return nullptr;
  }
  auto *port = static_cast<UsbMidiPort *>(QavAllocateNonPaged(sizeof(UsbMidiPort), kTagObject));
  if (port == nullptr) return nullptr;
  port->device = device;
  port->pipe = pipe;
  port->in = (pipe->endpointAddress & kEndpointDirectionIn) != 0;
  // Whole packets only: a transfer never ends inside one.
  port->maxPacket = pipe->maximumPacketSize - pipe->maximumPacketSize % kMidiPacketBytes;
  KeInitializeEvent(&port->allReturned, NotificationEvent, TRUE);
  KeInitializeEvent(&port->holdsGone, NotificationEvent, TRUE);
  ExInitializeFastMutex(&port->writeLock);
  KeInitializeSpinLock(&port->decodeLock);
  if (!NT_SUCCESS(AllocateTransfers(port, lower)) || !CreateCables(port, cables)) {
    FreePort(port);
    return nullptr;
  }
  QAV_LOG(MidiEndpointFound, static_cast<unsigned>(port->in),
            static_cast<unsigned>(pipe->endpointAddress), static_cast<unsigned>(cables),
            static_cast<unsigned>(port->maxPacket));
  return port;
}

void UsbMidiPortDestroy(UsbMidiPort *port) {
  if (port == nullptr) return;
  UsbMidiPortStop(port);
  MidiPinsForgetPort(port);
  // A writer that took its cable before the pins forgot it is still in
  // UsbMidiCableWrite; the stopped port lets it finish at once.
  KeWaitForSingleObject(&port->holdsGone, Executive, KernelMode, FALSE, nullptr);
  // The last release signals under midiLock: once the lock is free again it
  // no longer touches the port.
  KIRQL irql;
  KeAcquireSpinLock(&port->device->midiLock, &irql);
  KeReleaseSpinLock(&port->device->midiLock, irql);
  FreePort(port);
}

bool UsbMidiCableAttachPin(UsbMidiCable *cable, UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&cable->lock, &irql);
  ULONG freeEntry = kMidiPinsPerCable;
  bool present = false;
  for (ULONG i = 0; i < kMidiPinsPerCable; ++i) {
    if (cable->pins[i] == pin) present = true;
    if (cable->pins[i] == nullptr && freeEntry == kMidiPinsPerCable) freeEntry = i;
  }
  const bool attached = present || freeEntry < kMidiPinsPerCable;
  if (!present && attached) cable->pins[freeEntry] = pin;
  KeReleaseSpinLock(&cable->lock, irql);
  return attached;
}

void UsbMidiCableDetachPin(UsbMidiCable *cable, UsbMidiPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&cable->lock, &irql);
  for (UsbMidiPin *&entry : cable->pins) {
    if (entry == pin) entry = nullptr;
  }
  KeReleaseSpinLock(&cable->lock, irql);
}
