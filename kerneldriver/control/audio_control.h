// UsbAudioControl: the AudioControl interface of the device. It knows the
// clock sources and the clock selector from the descriptors, reads and sets
// the sampling frequency of the current clock, keeps the clock's discrete
// rate list and each clock's validity, and runs the status interrupt.
//
// Created and started while the device model is built (post start), destroyed
// at Remove. Requests run at PASSIVE_LEVEL; the status-interrupt completion
// runs at DISPATCH_LEVEL and only queues the work item.
#pragma once
#include "kerneldriver/device/device.h"

inline constexpr ULONG kMaxClocks = UAC_MAX_CLOCK_SOURCES;
inline constexpr ULONG kMaxRates = UAC_MAX_SAMPLE_RATES;

struct UsbAudioControl {
  UsbAudioDevice *device;
  UsbInterface *controlInterface;
  UsbPipe *volatile interruptPipe;  // null: no status interrupt, or stopped
  PUCHAR interruptBuffer;           // wMaxPacketSize bytes, kTagBuffer
  ULONG interruptBufferSize;
  PURB interruptUrb;                // kTagBuffer
  PIRP interruptIrp;
  PIO_WORKITEM interruptWorkItem;
  KSPIN_LOCK interruptLock;         // interruptPipe against interruptBusy
  bool interruptBusy;               // a transfer or its work item is under way
  KEVENT interruptIdle;             // signalled while not busy
  UCHAR currentClockId;
  UCHAR selectorInput;              // 1-based; 0 when not read
  UCHAR selectorId;                 // 0: no clock selector
  ULONG clockCount;                 // clock sources recorded, at most kMaxClocks
  UCHAR clockIdByNumber[kMaxClocks];
  ULONG rates[kMaxRates];           // device order, zero after the last
  ClockSourceInfo clocks[kMaxClocks];
};

// Creates and starts the object for the AudioControl interface; null when
// the interface is not AudioControl or pool runs out.
UsbAudioControl *AudioControlCreate(UsbAudioDevice *device, UsbInterface *controlInterface);
// Stops the status interrupt and frees the object.
void AudioControlDestroy(UsbAudioControl *control);

// Clock requests. ReadRate/WriteRate address currentClockId
// (STATUS_DEVICE_NOT_READY when there is none).
NTSTATUS AudioControlReadRate(UsbAudioControl *control, ULONG *rate);
NTSTATUS AudioControlWriteRate(UsbAudioControl *control, ULONG rate);
NTSTATUS AudioControlReadSelector(UsbAudioControl *control);
// Input k (1..16) of the clock selector; on success clock source k - 1
// becomes the current clock.
NTSTATUS AudioControlSelectClockInput(UsbAudioControl *control, ULONG input);
NTSTATUS AudioControlReadRateList(UsbAudioControl *control);
// Reads the validity of the recorded clock with this ID into its attributes.
NTSTATUS AudioControlRefreshValidity(UsbAudioControl *control, UCHAR clockId);

// selectorInput - 1: the 0-based clock source number in use (0xFFFFFFFF
// while the selector was never read).
ULONG AudioControlCurrentClockIndex(const UsbAudioControl *control);
bool AudioControlRateSupported(const UsbAudioControl *control, ULONG rate);
// Over the rates up to the first zero; 0 without rates.
ULONG AudioControlLowestRate(const UsbAudioControl *control);
ULONG AudioControlHighestRate(const UsbAudioControl *control);

// Clock sources and selector from the AudioControl interface's descriptors,
// and the status-interrupt pipe. Clock names are read from the device.
void AudioControlParseClocks(UsbAudioControl *control);

// A RANGE answer of the sampling-frequency control (`length` bytes received):
// the rates of the subranges the answer holds, in device order, into `rates`
// (zero-filled first): a discrete subrange gives its rate, a continuous one
// the standard rates inside it on its dRES grid. A rate listed again takes
// no second entry; rates beyond the table's sixteen are dropped. False, and
// `rates` untouched, when wNumSubRanges is 0 or the answer is too short to
// hold it.
bool ParseRateRange(const UCHAR *answer, ULONG length, ULONG (&rates)[kMaxRates]);

// Status interrupt: start (allocations once, then one transfer), stop.
NTSTATUS AudioControlStartStatusInterrupt(UsbAudioControl *control);
void AudioControlStopStatusInterrupt(UsbAudioControl *control);
// A received interrupt message: refreshes clock validity when it reports a
// changed CUR value of a clock, then raises KSEVENT_UAC_STATUS_INTERRUPT.
void AudioControlHandleInterruptMessage(UsbAudioControl *control, const UCHAR *message, ULONG length);
