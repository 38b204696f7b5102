// The I/O manager of the host build: device and driver objects, IRPs and
// their stack locations, completion and cancellation, work items, remove
// locks, MDLs, and the DPCs and timers drivers use beside them. Layouts are
// those of 64-bit Windows (pinned below); the functions behave as Windows
// does and turn the rules Driver Verifier enforces into bug checks that name
// the driver's line.
//
// IRQL contracts: IoCallDriver, IoCompleteRequest, IoCancelIrp, IoQueueWorkItem,
// KeInsertQueueDpc and KeSetTimer run at <= DISPATCH_LEVEL; IoCreateDevice,
// IoDeleteDevice, IoBuild*Request and IoReleaseRemoveLockAndWait at
// PASSIVE_LEVEL. Completion routines run at the IRQL of the thread that
// completes the IRP, cancel routines at DISPATCH_LEVEL holding the cancel
// spin lock, DPCs at DISPATCH_LEVEL, work items at PASSIVE_LEVEL.
#pragma once
#include <devioctl.h>
#include <ntdef.h>
#include <ntstatus.h>
#include <nt/ex.h>
#include <nt/ke.h>
#include <nt/po.h>

#include <stddef.h>

#ifndef STATUS_MORE_PROCESSING_REQUIRED
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016)
#endif
#ifndef STATUS_CONTINUE_COMPLETION
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
#endif

typedef enum _IO_COMPLETION_ROUTINE_RESULT {
  ContinueCompletion = STATUS_CONTINUE_COMPLETION,
  StopCompletion = STATUS_MORE_PROCESSING_REQUIRED
} IO_COMPLETION_ROUTINE_RESULT;

// Object types in the Type field every I/O object starts with.
#define IO_TYPE_ADAPTER 1
#define IO_TYPE_CONTROLLER 2
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
#define IO_TYPE_MASTER_ADAPTER 7
#define IO_TYPE_OPEN_PACKET 8
#define IO_TYPE_TIMER 9
#define IO_TYPE_VPB 10
#define IO_TYPE_ERROR_LOG 11
#define IO_TYPE_ERROR_MESSAGE 12
#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_PNP_POWER 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_DEVICE_ENUMERATED 0x19

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

// IRP.Flags
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_ASSOCIATED_IRP 0x00000008
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400
#define IRP_DEFER_IO_COMPLETION 0x00000800

// Create dispositions (high byte of Parameters.Create.Options) and attributes.
#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif

// IRP.AllocationFlags
#define IRP_QUOTA_CHARGED 0x01
#define IRP_ALLOCATED_MUST_SUCCEED 0x02
#define IRP_ALLOCATED_FIXED_SIZE 0x04
#define IRP_LOOKASIDE_ALLOCATION 0x08

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IO_STACK_LOCATION.Flags
#define SL_FORCE_ACCESS_CHECK 0x01
#define SL_OPEN_PAGING_FILE 0x02
#define SL_OPEN_TARGET_DIRECTORY 0x04
#define SL_CASE_SENSITIVE 0x80
#define SL_KEY_SPECIFIED 0x01
#define SL_OVERRIDE_VERIFY_VOLUME 0x02
#define SL_WRITE_THROUGH 0x04
#define SL_FT_SEQUENTIAL_WRITE 0x08

// DEVICE_OBJECT.Flags
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

// DEVICE_OBJECT.Characteristics
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_VIRTUAL_VOLUME 0x00000040
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_CHARACTERISTIC_PNP_DEVICE 0x00000800

#define FILE_BYTE_ALIGNMENT 0x00000000
#define FILE_WORD_ALIGNMENT 0x00000001
#define FILE_LONG_ALIGNMENT 0x00000003
#define FILE_QUAD_ALIGNMENT 0x00000007

// Device types devioctl.h does not already name.
#ifndef FILE_DEVICE_CONTROLLER
#define FILE_DEVICE_CONTROLLER 0x00000004
#endif
#ifndef FILE_DEVICE_NULL
#define FILE_DEVICE_NULL 0x00000015
#endif
#ifndef FILE_DEVICE_WAVE_IN
#define FILE_DEVICE_WAVE_IN 0x00000025
#endif
#ifndef FILE_DEVICE_WAVE_OUT
#define FILE_DEVICE_WAVE_OUT 0x00000026
#endif
#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#endif

#define DRVO_UNLOAD_INVOKED 0x00000001
#define DRVO_LEGACY_DRIVER 0x00000002
#define DRVO_BUILTIN_DRIVER 0x00000004

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IRP;
struct _IO_STACK_LOCATION;
struct _MDL;
struct _KDPC;
typedef struct _DEVICE_OBJECT *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT *PFILE_OBJECT;
typedef struct _IRP *PIRP;
typedef struct _IO_STACK_LOCATION *PIO_STACK_LOCATION;
typedef struct _MDL *PMDL;
typedef struct _VPB *PVPB;
typedef struct _DEVOBJ_EXTENSION *PDEVOBJ_EXTENSION;
typedef struct _IO_TIMER *PIO_TIMER;
typedef struct _CM_RESOURCE_LIST *PCM_RESOURCE_LIST;
typedef struct _IO_RESOURCE_REQUIREMENTS_LIST *PIO_RESOURCE_REQUIREMENTS_LIST;
typedef struct _SECTION_OBJECT_POINTERS *PSECTION_OBJECT_POINTERS;
typedef struct _IO_COMPLETION_CONTEXT *PIO_COMPLETION_CONTEXT;
typedef struct _FAST_IO_DISPATCH *PFAST_IO_DISPATCH;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef ULONG LCID;
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

// ---------------------------------------------------------------------------
// DPCs and timers

typedef VOID KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

// DpcData is non-null while the DPC sits in winsim's DPC queue.
typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID volatile DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

// A timer is a dispatcher object: it is signalled at its due time (DueTime
// holds the due interrupt time while it is set) and queues its DPC then.
typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC *Dpc;
  ULONG Processor;
  ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

#define DPC_NORMAL 0
#define DPC_THREADED 1

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
void KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
void KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);
// FALSE when the DPC is already queued (its arguments are left unchanged).
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2, WINSIM_CALLSITE);
// FALSE when the DPC was not queued (it may be running).
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns once every DPC queued before the call has run. PASSIVE_LEVEL.
void KeFlushQueuedDpcs(WINSIM_CALLSITE);

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// DueTime as a wait time-out: negative relative, positive absolute system
// time. Period in milliseconds (0: one-shot). TRUE when the timer was already
// set (it is re-armed).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, WINSIM_CALLSITE);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc, WINSIM_CALLSITE);
// TRUE when the timer was set. After it returns the timer's memory is no
// longer touched, though an already queued DPC may still run.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------
// Memory descriptor lists. The host has one address space, so the system
// address of a buffer is its own address; the flags still follow the rules
// (pages must be locked or from nonpaged pool before they are mapped).

#ifndef PAGE_SIZE
#define PAGE_SIZE 0x1000
#endif
#ifndef PAGE_SHIFT
#define PAGE_SHIFT 12L
#endif
#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
  ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080

typedef struct _MDL {
  struct _MDL *Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PEPROCESS Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL;

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
  MmHardwareCoherentCached,
  MmNonCachedUnordered,
  MmUSWCCached,
  MmMaximumCacheType,
  MmNotMapped = -1
} MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

inline SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}
inline void MmInitializeMdl(PMDL Mdl, PVOID BaseVa, SIZE_T Length) {
  Mdl->Next = nullptr;
  Mdl->Size = (CSHORT)MmSizeOfMdl(BaseVa, Length);
  Mdl->MdlFlags = 0;
  Mdl->StartVa = PAGE_ALIGN(BaseVa);
  Mdl->ByteOffset = BYTE_OFFSET(BaseVa);
  Mdl->ByteCount = (ULONG)Length;
}
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                           \
  (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))               \
       ? (Mdl)->MappedSystemVa                                                                \
       : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, nullptr, FALSE, (Priority)))

// With an Irp, the MDL becomes Irp->MdlAddress (SecondaryBuffer FALSE) or is
// appended to its chain. NULL when pool runs out.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp,
                   WINSIM_CALLSITE);
void IoFreeMdl(PMDL Mdl, WINSIM_CALLSITE);
void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         WINSIM_CALLSITE);
void MmUnlockPages(PMDL MemoryDescriptorList, WINSIM_CALLSITE);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority, WINSIM_CALLSITE);
void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

// ---------------------------------------------------------------------------
// Driver and device objects

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID (*PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT *DriverObject, struct _DEVICE_OBJECT *PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef DRIVER_DISPATCH DRIVER_DISPATCH_PAGED;
typedef VOID DRIVER_STARTIO(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_STARTIO *PDRIVER_STARTIO;
typedef VOID DRIVER_CANCEL(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;

typedef struct _KDEVICE_QUEUE_ENTRY {
  LIST_ENTRY DeviceListEntry;
  ULONG SortKey;
  BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
  CSHORT Type;
  CSHORT Size;
  LIST_ENTRY DeviceListHead;
  KSPIN_LOCK Lock;
  union {
    BOOLEAN Busy;
    struct {
      LONGLONG Reserved : 8;
      LONGLONG Hint : 56;
    };
  };
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;

typedef struct _WAIT_CONTEXT_BLOCK {
  KDEVICE_QUEUE_ENTRY WaitQueueEntry;
  PVOID DeviceRoutine;
  PVOID DeviceContext;
  ULONG NumberOfMapRegisters;
  PVOID DeviceObject;
  PVOID CurrentIrp;
  PKDPC BufferChainingDpc;
} WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;

// ReferenceCount counts ObReferenceObject references; a deleted device
// object is freed when the last one goes. DeviceObjectExtension is winsim's
// own bookkeeping (the lower device it is attached to, deletion state).
typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT *DriverObject;
  struct _DEVICE_OBJECT *NextDevice;
  struct _DEVICE_OBJECT *AttachedDevice;
  struct _IRP *CurrentIrp;
  PIO_TIMER Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVPB volatile Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  union {
    LIST_ENTRY ListEntry;
    WAIT_CONTEXT_BLOCK Wcb;
  } Queue;
  ULONG AlignmentRequirement;
  KDEVICE_QUEUE DeviceQueue;
  KDPC Dpc;
  ULONG ActiveThreadCount;
  PSECURITY_DESCRIPTOR SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PDEVOBJ_EXTENSION DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT *DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PFAST_IO_DISPATCH FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT;

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVPB Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PSECTION_OBJECT_POINTERS SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT *RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
  volatile ULONG Waiters;
  volatile ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;
  KEVENT Event;
  PIO_COMPLETION_CONTEXT volatile CompletionContext;
  KSPIN_LOCK IrpListLock;
  LIST_ENTRY IrpList;
  PVOID volatile FileObjectExtension;
} FILE_OBJECT;

// ---------------------------------------------------------------------------
// Plug and Play structures carried by IRP_MJ_PNP

#ifndef WINSIM_INTERFACE_DEFINED
#define WINSIM_INTERFACE_DEFINED
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
#endif

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved : 14;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef enum _DEVICE_RELATION_TYPE {
  BusRelations,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations,
  TransportRelations
} DEVICE_RELATION_TYPE, *PDEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
  ULONG Count;
  PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
  DeviceUsageTypeUndefined,
  DeviceUsageTypePaging,
  DeviceUsageTypeHibernation,
  DeviceUsageTypeDumpFile,
  DeviceUsageTypeBoot,
  DeviceUsageTypePostDisplay,
  DeviceUsageTypeGuestAssigned
} DEVICE_USAGE_NOTIFICATION_TYPE;

typedef enum _BUS_QUERY_ID_TYPE {
  BusQueryDeviceID,
  BusQueryHardwareIDs,
  BusQueryCompatibleIDs,
  BusQueryInstanceID,
  BusQueryDeviceSerialNumber,
  BusQueryContainerID
} BUS_QUERY_ID_TYPE, *PBUS_QUERY_ID_TYPE;

typedef enum _DEVICE_TEXT_TYPE { DeviceTextDescription, DeviceTextLocationInformation } DEVICE_TEXT_TYPE;

typedef struct _IO_SECURITY_CONTEXT {
  PVOID SecurityQos;
  PVOID AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

// ---------------------------------------------------------------------------
// IRPs

// Fields marked alignas(8) are POINTER_ALIGNMENT in the WDK.
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
      ULONG Options;
      alignas(8) USHORT FileAttributes;
      USHORT ShareAccess;
      alignas(8) ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      alignas(8) ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      alignas(8) ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      DEVICE_RELATION_TYPE Type;
    } QueryDeviceRelations;
    struct {
      const GUID *InterfaceType;
      USHORT Size;
      USHORT Version;
      PINTERFACE Interface;
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      PIO_RESOURCE_REQUIREMENTS_LIST IoResourceRequirementList;
    } FilterResourceRequirements;
    struct {
      BUS_QUERY_ID_TYPE IdType;
    } QueryId;
    struct {
      DEVICE_TEXT_TYPE DeviceTextType;
      alignas(8) LCID LocaleId;
    } QueryDeviceText;
    struct {
      BOOLEAN InPath;
      BOOLEAN Reserved[3];
      alignas(8) DEVICE_USAGE_NOTIFICATION_TYPE Type;
    } UsageNotification;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      union {
        ULONG SystemContext;
        SYSTEM_POWER_STATE_CONTEXT SystemPowerStateContext;
      };
      alignas(8) POWER_STATE_TYPE Type;
      alignas(8) POWER_STATE State;
      alignas(8) POWER_ACTION ShutdownType;
    } Power;
    struct {
      PCM_RESOURCE_LIST AllocatedResources;
      PCM_RESOURCE_LIST AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION;

// Only sized here: winsim delivers no APCs.
typedef struct _KAPC {
  UCHAR Type;
  UCHAR SpareByte0;
  UCHAR Size;
  UCHAR SpareByte1;
  ULONG SpareLong0;
  PKTHREAD Thread;
  LIST_ENTRY ApcListEntry;
  PVOID KernelRoutine;
  PVOID RundownRoutine;
  PVOID NormalRoutine;
  PVOID NormalContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  CCHAR ApcStateIndex;
  KPROCESSOR_MODE ApcMode;
  BOOLEAN Inserted;
} KAPC, *PKAPC;

// The stack locations follow the IRP in the same block: location 1 (the
// lowest driver's) first. CurrentLocation counts down from StackCount + 1 as
// the IRP travels down and back up as it completes.
typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP *MasterIrp;
    volatile LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      union {
        PIO_APC_ROUTINE UserApcRoutine;
        PVOID IssuingProcess;
      };
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PDRIVER_CANCEL volatile CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
        struct {
          PVOID DriverContext[4];
        };
      };
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      struct {
        LIST_ENTRY ListEntry;
        union {
          struct _IO_STACK_LOCATION *CurrentStackLocation;
          ULONG PacketType;
        };
      };
      struct _FILE_OBJECT *OriginalFileObject;
    } Overlay;
    KAPC Apc;
    PVOID CompletionKey;
  } Tail;
} IRP;

inline USHORT IoSizeOfIrp(CCHAR StackSize) {
  return (USHORT)(sizeof(IRP) + (ULONG)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
}

// NULL when pool runs out. The IRP is not associated with a thread: whoever
// allocates it must take it back in a completion routine that returns
// STATUS_MORE_PROCESSING_REQUIRED, then IoFreeIrp it.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, WINSIM_CALLSITE);
void IoFreeIrp(PIRP Irp, WINSIM_CALLSITE);
void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize, WINSIM_CALLSITE);
// Readies a completed IRP for another trip, as freshly allocated, with
// IoStatus.Status set to Status.
void IoReuseIrp(PIRP Irp, NTSTATUS Status, WINSIM_CALLSITE);

// Threaded requests: on completion the I/O manager copies buffered output
// back, stores the final status in *IoStatusBlock, signals Event and frees
// the IRP. PASSIVE_LEVEL.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                   WINSIM_CALLSITE);
// IRP_MJ_READ, _WRITE, _FLUSH_BUFFERS, _SHUTDOWN or _PNP.
PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                  WINSIM_CALLSITE);

// Moves the IRP to the next lower stack location and calls the device's
// driver for it.
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, WINSIM_CALLSITE);
#define IoCallDriver IofCallDriver
// Hands the IRP back up the stack, calling the completion routines set on
// the way down.
void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, WINSIM_CALLSITE);
#define IoCompleteRequest IofCompleteRequest

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline void IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
// Makes the next location current, for a driver that allocated one for
// itself. There must be a location below it for IoCallDriver to use.
void IoSetNextIrpStackLocation(PIRP Irp, WINSIM_CALLSITE);

// Sets the routine on the next lower stack location: it runs when the lower
// driver completes the IRP, with the status classes asked for.
void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel, WINSIM_CALLSITE);
NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel, WINSIM_CALLSITE);

// Cancellation. The routine set last is called by IoCancelIrp at
// DISPATCH_LEVEL with the cancel spin lock held and must release it with
// IoReleaseCancelSpinLock(Irp->CancelIrql).
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}
BOOLEAN IoCancelIrp(PIRP Irp, WINSIM_CALLSITE);
void IoAcquireCancelSpinLock(PKIRQL Irql, WINSIM_CALLSITE);
void IoReleaseCancelSpinLock(KIRQL Irql, WINSIM_CALLSITE);

// Device objects. The extension is zeroed; the device starts with
// DO_DEVICE_INITIALIZING, which the driver clears when it is ready.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject, WINSIM_CALLSITE);
// The device must be detached from any lower device first. Its memory goes
// when the last reference does.
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject, WINSIM_CALLSITE);
// Links in the DOS-devices directory (\??\NAME, \DosDevices\NAME or
// \GLOBAL??\NAME) to a device name; user mode opens them as "\\.\NAME".
// PASSIVE_LEVEL. A name already linked: STATUS_OBJECT_NAME_COLLISION; a link
// outside that directory: STATUS_OBJECT_PATH_NOT_FOUND. A link outlives its
// device and its driver until it is deleted.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, WINSIM_CALLSITE);
// STATUS_OBJECT_NAME_NOT_FOUND for a link that does not exist.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName, WINSIM_CALLSITE);
// Attaches SourceDevice on top of TargetDevice's stack; returns the device it
// was attached to (the former top), or NULL when the target is being deleted.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                           WINSIM_CALLSITE);
NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT *AttachedToDeviceObject, WINSIM_CALLSITE);
// Detaches whatever device is attached on top of TargetDevice.
void IoDetachDevice(PDEVICE_OBJECT TargetDevice, WINSIM_CALLSITE);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
// The top of the stack, referenced; the caller dereferences it.
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
// The device DeviceObject is attached to, referenced; NULL at the bottom.
PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
// Device, driver and file objects.
LONG_PTR ObReferenceObject(PVOID Object, WINSIM_CALLSITE);
LONG_PTR ObDereferenceObject(PVOID Object, WINSIM_CALLSITE);
#define ObfReferenceObject ObReferenceObject
#define ObfDereferenceObject ObDereferenceObject

// ---------------------------------------------------------------------------
// Work items, run on winsim's system worker threads at PASSIVE_LEVEL

typedef enum _WORK_QUEUE_TYPE {
  CriticalWorkQueue,
  DelayedWorkQueue,
  HyperCriticalWorkQueue,
  NormalWorkQueue,
  BackgroundWorkQueue,
  RealTimeWorkQueue,
  SuperCriticalWorkQueue,
  MaximumWorkQueue,
  CustomPriorityWorkQueue = 32
} WORK_QUEUE_TYPE;

typedef struct _IO_WORKITEM *PIO_WORKITEM;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE *PIO_WORKITEM_ROUTINE;
typedef VOID IO_WORKITEM_ROUTINE_EX(PVOID IoObject, PVOID Context, PIO_WORKITEM IoWorkItem);
typedef IO_WORKITEM_ROUTINE_EX *PIO_WORKITEM_ROUTINE_EX;

// The device object stays referenced while the item is queued and running.
// Queuing an item again before its routine started is a bug check; the
// routine may requeue or free its own item.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject, WINSIM_CALLSITE);
void IoFreeWorkItem(PIO_WORKITEM IoWorkItem, WINSIM_CALLSITE);
void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context, WINSIM_CALLSITE);
void IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context, WINSIM_CALLSITE);
// Caller-allocated work items: IoSizeofWorkItem bytes, initialized for a
// device or driver object.
ULONG IoSizeofWorkItem(void);
void IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem);
void IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem, WINSIM_CALLSITE);

typedef VOID WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE *PWORKER_THREAD_ROUTINE;
typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID volatile Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
  Item->List.Flink = nullptr;
}
// The executive's own work items: no device reference is taken, so the
// routine's code must stay loaded until it has run.
void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType, WINSIM_CALLSITE);

// ---------------------------------------------------------------------------
// Remove locks: a count of operations in flight that removal waits out.
// IoCount starts at 1 (the lock's own reference, dropped by release-and-wait).

typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK {
  BOOLEAN Removed;
  BOOLEAN Reserved[3];
  volatile LONG IoCount;
  KEVENT RemoveEvent;
} IO_REMOVE_LOCK_COMMON_BLOCK;

typedef struct _IO_REMOVE_LOCK {
  IO_REMOVE_LOCK_COMMON_BLOCK Common;
} IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize, WINSIM_CALLSITE);
// STATUS_DELETE_PENDING (and no acquisition) once release-and-wait began.
NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize,
                               WINSIM_CALLSITE);
void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize, WINSIM_CALLSITE);
// Releases the caller's own acquisition and waits until every other one has
// been released. PASSIVE_LEVEL.
void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize, WINSIM_CALLSITE);
#define IoInitializeRemoveLock(Lock, AllocateTag, MaxLockedMinutes, HighWatermark) \
  IoInitializeRemoveLockEx(Lock, AllocateTag, MaxLockedMinutes, HighWatermark, sizeof(IO_REMOVE_LOCK))
#define IoAcquireRemoveLock(RemoveLock, Tag) \
  IoAcquireRemoveLockEx(RemoveLock, Tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLock(RemoveLock, Tag) IoReleaseRemoveLockEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLockAndWait(RemoveLock, Tag) \
  IoReleaseRemoveLockAndWaitEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))

// ---------------------------------------------------------------------------
// Layouts of 64-bit Windows.

static_assert(sizeof(KDPC) == 64, "KDPC layout");
static_assert(sizeof(KTIMER) == 64 && offsetof(KTIMER, DueTime) == 24 && offsetof(KTIMER, Dpc) == 48 &&
                  offsetof(KTIMER, Period) == 60,
              "KTIMER layout");
static_assert(sizeof(MDL) == 48 && offsetof(MDL, MappedSystemVa) == 24 && offsetof(MDL, ByteCount) == 40,
              "MDL layout");
static_assert(sizeof(IO_STATUS_BLOCK) == 16 && offsetof(IO_STATUS_BLOCK, Information) == 8, "IO_STATUS_BLOCK layout");
static_assert(sizeof(KDEVICE_QUEUE) == 40 && sizeof(WAIT_CONTEXT_BLOCK) == 72, "device queue layouts");
static_assert(sizeof(DEVICE_OBJECT) == 328, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 8 && offsetof(DEVICE_OBJECT, NextDevice) == 16 &&
                  offsetof(DEVICE_OBJECT, AttachedDevice) == 24 && offsetof(DEVICE_OBJECT, Flags) == 48 &&
                  offsetof(DEVICE_OBJECT, DeviceExtension) == 64 && offsetof(DEVICE_OBJECT, DeviceType) == 72 &&
                  offsetof(DEVICE_OBJECT, StackSize) == 76 && offsetof(DEVICE_OBJECT, Dpc) == 200 &&
                  offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 312,
              "DEVICE_OBJECT field offsets");
static_assert(sizeof(DRIVER_EXTENSION) == 40, "DRIVER_EXTENSION layout");
static_assert(sizeof(DRIVER_OBJECT) == 336 && offsetof(DRIVER_OBJECT, DriverExtension) == 48 &&
                  offsetof(DRIVER_OBJECT, DriverUnload) == 104 && offsetof(DRIVER_OBJECT, MajorFunction) == 112,
              "DRIVER_OBJECT layout");
static_assert(sizeof(FILE_OBJECT) == 216 && offsetof(FILE_OBJECT, FsContext) == 24 &&
                  offsetof(FILE_OBJECT, Flags) == 80 && offsetof(FILE_OBJECT, FileName) == 88 &&
                  offsetof(FILE_OBJECT, Event) == 152 && offsetof(FILE_OBJECT, IrpList) == 192,
              "FILE_OBJECT layout");
static_assert(sizeof(INTERFACE) == 32, "INTERFACE layout");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64 && offsetof(DEVICE_CAPABILITIES, Address) == 8 &&
                  offsetof(DEVICE_CAPABILITIES, DeviceState) == 16 &&
                  offsetof(DEVICE_CAPABILITIES, SystemWake) == 44 && offsetof(DEVICE_CAPABILITIES, D1Latency) == 52,
              "DEVICE_CAPABILITIES layout");
static_assert(sizeof(DEVICE_RELATIONS) == 16, "DEVICE_RELATIONS layout");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION layout");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Create.FileAttributes) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Create.EaLength) == 32 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Read.Key) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32 &&
                  offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Interface) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.UsageNotification.Type) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Power.ShutdownType) == 32 &&
                  offsetof(IO_STACK_LOCATION, DeviceObject) == 40 && offsetof(IO_STACK_LOCATION, FileObject) == 48 &&
                  offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56 && offsetof(IO_STACK_LOCATION, Context) == 64,
              "IO_STACK_LOCATION field offsets");
static_assert(sizeof(KAPC) == 88, "KAPC layout");
static_assert(sizeof(IRP) == 208, "IRP layout");
static_assert(offsetof(IRP, MdlAddress) == 8 && offsetof(IRP, AssociatedIrp) == 24 && offsetof(IRP, IoStatus) == 48 &&
                  offsetof(IRP, PendingReturned) == 65 && offsetof(IRP, StackCount) == 66 &&
                  offsetof(IRP, CurrentLocation) == 67 && offsetof(IRP, Cancel) == 68 &&
                  offsetof(IRP, UserIosb) == 72 && offsetof(IRP, UserEvent) == 80 &&
                  offsetof(IRP, CancelRoutine) == 104 && offsetof(IRP, UserBuffer) == 112 &&
                  offsetof(IRP, Tail.Overlay.DriverContext) == 120 && offsetof(IRP, Tail.Overlay.Thread) == 152 &&
                  offsetof(IRP, Tail.Overlay.ListEntry) == 168 &&
                  offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184 &&
                  offsetof(IRP, Tail.Overlay.OriginalFileObject) == 192,
              "IRP field offsets");
static_assert(sizeof(IO_REMOVE_LOCK) == 32, "IO_REMOVE_LOCK layout (free build)");
static_assert(sizeof(WORK_QUEUE_ITEM) == 32, "WORK_QUEUE_ITEM layout");
