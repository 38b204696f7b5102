// Kernel executive core of the host build: IRQL, dispatcher objects and waits,
// spin locks, time, interlocked operations, debug output and bug checks.
//
// Functions that can detect a driver bug take a hidden trailing call-site
// argument so that winsim's bug check names the line that broke the rule; a
// driver calls them exactly as it would on Windows.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <nt/interlocked.h>
#include <nt/lists.h>

#include <source_location>

#define WINSIM_CALLSITE const std::source_location &winsimSite = std::source_location::current()

// IRQL levels (x64).
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define HIGH_LEVEL 15

typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KPROCESS *PKPROCESS, *PEPROCESS;
typedef PKTHREAD PETHREAD;

typedef enum _KPROCESSOR_MODE { KernelMode, UserMode, MaximumMode } MODE;
typedef CCHAR KPROCESSOR_MODE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON {
  Executive, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest,
  WrExecutive, WrFreePage, WrPageIn, WrPoolAllocation, WrDelayExecution, WrSuspended,
  WrUserRequest, WrEventPair, WrQueue, WrLpcReceive, WrLpcReply, WrVirtualMemory,
  WrPageOut, WrRendezvous, MaximumWaitReason = 37
} KWAIT_REASON;

#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define IO_SOUND_INCREMENT 8
#define SEMAPHORE_INCREMENT 1

// Dispatcher object types in DISPATCHER_HEADER.Type.
enum : UCHAR {
  WinsimNotificationEventObject = 0,
  WinsimSynchronizationEventObject = 1,
  WinsimMutantObject = 2,
  WinsimProcessObject = 3,
  WinsimSemaphoreObject = 5,
  WinsimThreadObject = 6,
  WinsimNotificationTimerObject = 8,
  WinsimSynchronizationTimerObject = 9,
};

// Same size and field order as on x64 Windows. The wait list holds the wait
// blocks of the threads waiting on the object; blocks live on those threads'
// stacks and every change happens under winsim's dispatcher lock.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER layout");

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "KEVENT layout");

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;
static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE layout");

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PKTHREAD Thread;
  PVOID Object;
  ULONG_PTR Reserved[2];
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;
static_assert(sizeof(KWAIT_BLOCK) == 48, "KWAIT_BLOCK layout");

// IRQL.
KIRQL KeGetCurrentIrql(void);
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, WINSIM_CALLSITE);
void KeLowerIrql(KIRQL NewIrql, WINSIM_CALLSITE);
KIRQL KeRaiseIrqlToDpcLevel(void);

// Spin locks. Acquiring raises to DISPATCH_LEVEL; releasing restores the IRQL
// saved at acquisition and must happen at DISPATCH_LEVEL. Locks must be taken
// in one order machine-wide (an inversion is a bug check when it first
// happens), must live in nonpaged memory, and an owner that keeps one for
// seconds while another thread spins is a bug check naming it.
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock, WINSIM_CALLSITE);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, WINSIM_CALLSITE);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, WINSIM_CALLSITE);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, WINSIM_CALLSITE);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, WINSIM_CALLSITE);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

// Events and semaphores. Their storage must be resident (nonpaged pool, a
// device extension, the stack): the kernel signals them at DISPATCH_LEVEL.
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State, WINSIM_CALLSITE);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit, WINSIM_CALLSITE);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait,
                        WINSIM_CALLSITE);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits. A Timeout is negative for a relative interval and positive for an
// absolute system time, both in 100 ns units; NULL waits forever.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout, WINSIM_CALLSITE);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray, WINSIM_CALLSITE);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval,
                                WINSIM_CALLSITE);
#define KeWaitForMutexObject KeWaitForSingleObject

// Time. Interrupt time counts 100 ns units since boot; system time is
// interrupt time plus the machine's boot time as a FILETIME.
ULONGLONG KeQueryInterruptTime(void);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(void);
void KeStallExecutionProcessor(ULONG MicroSeconds);

PKTHREAD KeGetCurrentThread(void);
HANDLE PsGetCurrentProcessId(void);
HANDLE PsGetCurrentThreadId(void);
ULONG KeGetCurrentProcessorNumber(void);

// Debug output goes to the Machine's log.
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) __attribute__((format(printf, 3, 4)));
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4,
                               WINSIM_CALLSITE);
[[noreturn]] void KeBugCheck(ULONG BugCheckCode, WINSIM_CALLSITE);

// Code that may be paged out must run below DISPATCH_LEVEL.
void WinsimCheckPageable(const std::source_location &site);
#define PAGED_CODE() WinsimCheckPageable(std::source_location::current())
#define PAGED_CODE_LOCKED() ((void)0)
#define NT_ASSERT(e) ((e) ? (void)0 : KeBugCheckEx(0x0000002C /* assertion */, 0, 0, 0, 0))
#define ASSERT(e) NT_ASSERT(e)

