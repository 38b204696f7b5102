// The start-up measurement of the smallest UrbSize the machine sustains: 100
// one-frame isochronous URBs of silence go out on the render stream's data
// endpoint, ten at a time, each completion sending the one ten places after
// it. The shortest distance between a URB's start frame and the frame in
// which its completion ran is how soon this machine hands a URB back.
//
// The outstanding count starts at one for the sending code itself and drops
// that bias only after the first ten went out: a URB the stack refuses at
// once completes inside its send, and without the bias the count could touch
// zero there and end the wait while later URBs are still in flight.
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/stream_internal.h"
#include "kerneldriver/usb/usb_configure.h"

namespace {

constexpr ULONG kProbeUrbs = 100;
constexpr ULONG kProbeInFlight = 10;
constexpr ULONG kMaxMeasuredFrames = 10;

struct LatencyProbe {
  UsbAudioStream *stream;
  PDEVICE_OBJECT lower;
  USBD_PIPE_HANDLE pipe;
  ULONG bytesPerPacket;  // room of a packet: the most whole frames a microframe needs
  ULONG packetsPerUrb;
  // Packet sizes follow the rate as the stream's own do (5 and 6 frames at
  // 44.1 kHz): whole frames, and no more than the device plays, so the
  // silence neither breaks packets nor overflows the device's FIFO.
  KSPIN_LOCK sizingLock;  // a refused URB's completion sends the next one inside a send
  ULONG bytesPerFrame;
  ULONG samplesPerMicroframe;
  ULONG sampleAccumulator;
  PUCHAR buffer;  // kTagBuffer, shared by every URB: silence
  PIRP irps[kProbeUrbs];
  PURB urbs[kProbeUrbs];  // kTagBuffer
  volatile LONG completed;
  volatile LONG outstanding;  // URBs sent and not back, plus one while sending the first ten
  KEVENT allReturned;
  bool recorded[kProbeUrbs];
  LONGLONG counter[kProbeUrbs];
  ULONG startFrame[kProbeUrbs];
  ULONG busFrame[kProbeUrbs];
};

IO_COMPLETION_ROUTINE ProbeCompleted;

void SizePackets(LatencyProbe *probe, struct _URB_ISOCH_TRANSFER &urb) {
  ULONG split = 0;
  KIRQL irql;
  KeAcquireSpinLock(&probe->sizingLock, &irql);
  urb.TransferBufferLength = SizeRenderPackets(&probe->sampleAccumulator, probe->samplesPerMicroframe,
                                               probe->bytesPerFrame, probe->bytesPerPacket, urb.IsoPacket,
                                               probe->packetsPerUrb, &split);
  KeReleaseSpinLock(&probe->sizingLock, irql);
}

void Send(LatencyProbe *probe, ULONG i) {
  struct _URB_ISOCH_TRANSFER &urb = probe->urbs[i]->UrbIsochronousTransfer;
  urb.Hdr.Length = static_cast<USHORT>(IsoUrbSize(probe->packetsPerUrb));
  urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb.PipeHandle = probe->pipe;
  urb.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
  urb.TransferBuffer = probe->buffer;
  urb.NumberOfPackets = probe->packetsPerUrb;
  SizePackets(probe, urb);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(probe->irps[i]);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = probe->urbs[i];
  IoSetCompletionRoutine(probe->irps[i], ProbeCompleted, probe, TRUE, TRUE, TRUE);
  InterlockedIncrement(&probe->outstanding);
  IoCallDriver(probe->lower, probe->irps[i]);
}

ULONG IndexOf(const LatencyProbe *probe, PIRP irp) {
  for (ULONG i = 0; i < kProbeUrbs; ++i) {
    if (probe->irps[i] == irp) return i;
  }
  return kProbeUrbs;
}

void CountIn(LatencyProbe *probe) {
  if (InterlockedDecrement(&probe->outstanding) == 0) KeSetEvent(&probe->allReturned, IO_NO_INCREMENT, FALSE);
}

// DISPATCH_LEVEL; completions come back in the order they were sent.
NTSTATUS ProbeCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *probe = static_cast<LatencyProbe *>(context);
  const ULONG i = IndexOf(probe, irp);
  InterlockedIncrement(&probe->completed);
  if (i < kProbeUrbs && NT_SUCCESS(irp->IoStatus.Status) && USBD_SUCCESS(probe->urbs[i]->UrbHeader.Status)) {
    probe->counter[i] = KeQueryPerformanceCounter(nullptr).QuadPart;
    probe->startFrame[i] = probe->urbs[i]->UrbIsochronousTransfer.StartFrame;
    probe->recorded[i] = StreamCurrentFrame(probe->stream, &probe->busFrame[i]);
  }
  if (i < kProbeUrbs && i + kProbeInFlight < kProbeUrbs) Send(probe, i + kProbeInFlight);
  CountIn(probe);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void FreeProbe(LatencyProbe *probe) {
  for (ULONG i = 0; i < kProbeUrbs; ++i) {
    if (probe->irps[i] != nullptr) IoFreeIrp(probe->irps[i]);
    QavFree(probe->urbs[i], kTagBuffer);
  }
  QavFree(probe->buffer, kTagBuffer);
  QavFree(probe, kTagObject);
}

LatencyProbe *AllocateProbe(UsbAudioStream *stream, const UsbPipe *pipe, PDEVICE_OBJECT lower) {
  auto *probe = static_cast<LatencyProbe *>(QavAllocateNonPaged(sizeof(LatencyProbe), kTagObject));
  if (probe == nullptr) return nullptr;
  probe->stream = stream;
  probe->lower = lower;
  probe->pipe = pipe->pipeHandle;
  probe->bytesPerPacket = ProbeBytesPerPacket(stream->bytesPerFrame, stream->nominalRate, pipe->maximumPacketSize);
  probe->packetsPerUrb = UsbIsHighSpeed(&stream->device->config) ? kMicroframesPerFrame : 1;
  KeInitializeSpinLock(&probe->sizingLock);
  probe->bytesPerFrame = stream->bytesPerFrame;
  probe->samplesPerMicroframe = SamplesPerMicroframe(stream->nominalRate);
  probe->outstanding = 1;
  KeInitializeEvent(&probe->allReturned, NotificationEvent, FALSE);
  bool complete = probe->bytesPerPacket != 0;
  if (complete) probe->buffer = static_cast<PUCHAR>(QavAllocateNonPaged(probe->packetsPerUrb * probe->bytesPerPacket, kTagBuffer));
  complete = complete && probe->buffer != nullptr;
  for (ULONG i = 0; complete && i < kProbeUrbs; ++i) {
    probe->irps[i] = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    probe->urbs[i] = static_cast<PURB>(QavAllocateNonPaged(IsoUrbSize(probe->packetsPerUrb), kTagBuffer));
    complete = probe->irps[i] != nullptr && probe->urbs[i] != nullptr;
  }
  if (!complete) {
    FreeProbe(probe);
    return nullptr;
  }
  return probe;
}

ULONG Measure(LatencyProbe *probe) {
  for (ULONG i = 0; i < kProbeInFlight; ++i) Send(probe, i);
  CountIn(probe);
  KeWaitForSingleObject(&probe->allReturned, Executive, KernelMode, FALSE, nullptr);
  ULONG smallest = kMaxMeasuredFrames;
  bool any = false;
  for (ULONG i = 0; i < kProbeUrbs; ++i) {
    if (!probe->recorded[i]) continue;
    const LONG frames = static_cast<LONG>(probe->busFrame[i] - probe->startFrame[i]);
    QAV_LOG(ProbeEntry, static_cast<unsigned>(i),
              static_cast<unsigned>(probe->startFrame[i]), static_cast<unsigned>(probe->busFrame[i]),
              static_cast<int>(frames), static_cast<long long>(probe->counter[i]));
    any = true;
    smallest = QavMin(smallest, static_cast<ULONG>(QavMax(frames, static_cast<LONG>(1))));
  }
  return any ? smallest : 0;
}

}  // namespace

ULONG UsbAudioStreamLatencyProbe(UsbAudioStream *stream) {
  if (stream == nullptr || stream->usbInterface == nullptr || stream->nominalRate == 0) return 0;
  UsbInterface *usbInterface = stream->usbInterface;
  const UCHAR previous = UsbInterfaceAlternateSetting(usbInterface);
  UsbPipe *pipe = nullptr;
  if (NT_SUCCESS(UsbSelectAlternateSetting(usbInterface, stream->altSetting))) pipe = UsbInterfaceFindPipe(usbInterface, stream->dataEndpoint);
  PDEVICE_OBJECT lower = UsbLowerDevice(&stream->device->config);
  LatencyProbe *probe = pipe != nullptr && lower != nullptr ? AllocateProbe(stream, pipe, lower) : nullptr;
  if (probe == nullptr) {
    UsbSelectAlternateSetting(usbInterface, previous);
    return 0;
  }
  const ULONG frames = Measure(probe);
  FreeProbe(probe);
  // Back to the setting the interface had: left streaming, the interface
  // would keep its bus bandwidth reserved and its DAC running dry until the
  // first pin starts, which then finds the FIFO unprimed.
  UsbSelectAlternateSetting(usbInterface, previous);
  QAV_LOG(ProbeResult, static_cast<unsigned>(frames));
  return frames;
}
