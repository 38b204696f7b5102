// Render bytes to an OUT port: a writer puts its bytes up as the cable's
// pending data and runs the write pump, which packs one message per cable
// in turn into the free buffer and sends it.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_encode.h"
#include "kerneldriver/midi/midi_port.h"

namespace {

constexpr ULONG kBufferWaitMs = 1000;
constexpr ULONG kRunsWithoutProgress = 3;

bool AnyPending(const UsbMidiPort *port) {
  for (ULONG i = 0; i < port->cableCount; ++i) {
    if (port->cables[i]->pendingCount != 0) return true;
  }
  return false;
}

// Packs into the buffer, one message per cable with pending bytes in turn,
// until it is full or nothing is pending. Returns the bytes packed; *taken
// tells whether any input was consumed. writeLock held.
ULONG Pack(UsbMidiPort *port, PUCHAR buffer, bool *taken) {
  ULONG fill = 0;
  while (fill + kMidiPacketBytes <= port->maxPacket && AnyPending(port)) {
    for (ULONG i = 0; i < port->cableCount && fill + kMidiPacketBytes <= port->maxPacket; ++i) {
      UsbMidiCable *cable = port->cables[i];
      if (cable->pendingCount == 0) continue;
      MidiEncodeResult r = MidiEncodeOneMessage(&cable->parser, static_cast<UCHAR>(cable->number), cable->pending,
                                                cable->pendingCount, buffer + fill, port->maxPacket - fill);
      cable->pending += r.consumed;
      cable->pendingCount -= r.consumed;
      fill += r.written;
      if (r.consumed != 0) *taken = true;
    }
  }
  return fill;
}

// A stop clears it and then wakes a pump waiting for a buffer.
bool Running(UsbMidiPort *port) { return InterlockedCompareExchange(&port->running, 0, 0) != 0; }

bool WaitForBuffer(UsbMidiPort *port, ULONG index) {
  LARGE_INTEGER timeout = QavRelativeMilliseconds(kBufferWaitMs);
  return KeWaitForSingleObject(&port->bufferFree[index], Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

void SetPending(UsbMidiCable *cable, const UCHAR *bytes, ULONG count) {
  ExAcquireFastMutex(&cable->port->writeLock);
  cable->pending = bytes;
  cable->pendingCount = count;
  ExReleaseFastMutex(&cable->port->writeLock);
}

ULONG Pending(UsbMidiCable *cable) {
  ExAcquireFastMutex(&cable->port->writeLock);
  const ULONG pending = cable->pendingCount;
  ExReleaseFastMutex(&cable->port->writeLock);
  return pending;
}

}  // namespace

bool UsbMidiPortWritePump(UsbMidiPort *port) {
  ExAcquireFastMutex(&port->writeLock);
  bool taken = false;
  const ULONG index = port->writeIndex;
  if (Running(port) && WaitForBuffer(port, index) && Running(port)) {
    MidiTransfer *transfer = &port->transfers[index];
    const ULONG packed = Pack(port, transfer->buffer, &taken);
    if (packed != 0) {
      if (!MidiSendTransfer(transfer, packed)) {
        QAV_LOG(MidiNotSentGone, static_cast<unsigned>(port->pipe->endpointAddress), static_cast<unsigned>(packed));
      }
      port->writeIndex = index ^ 1;
    }
  }
  ExReleaseFastMutex(&port->writeLock);
  return taken;
}

ULONG UsbMidiCableWrite(UsbMidiCable *cable, const UCHAR *bytes, ULONG count) {
  UsbMidiPort *port = cable->port;
  if (port->in || count == 0) return 0;
  ExAcquireFastMutex(&cable->writeMutex);
  SetPending(cable, bytes, count);
  for (ULONG idle = 0; idle < kRunsWithoutProgress && Pending(cable) != 0;) {
    idle = UsbMidiPortWritePump(port) ? 0 : idle + 1;
  }
  ExAcquireFastMutex(&port->writeLock);
  const ULONG left = cable->pendingCount;
  cable->pending = nullptr;
  cable->pendingCount = 0;
  ExReleaseFastMutex(&port->writeLock);
  ExReleaseFastMutex(&cable->writeMutex);
  if (left != 0) QAV_LOG(MidiBytesDropped, static_cast<unsigned>(cable->number), static_cast<unsigned>(left));
  return count - left;
}
