// Executive services of the host build: pool, fast mutexes, lookaside lists.
#pragma once
#include <nt/ke.h>

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// Pool blocks are tracked per tag. Freeing with a tag other than the one the
// block was allocated with, freeing twice, or freeing memory that is not pool
// is a bug check. Paged pool may only be used below DISPATCH_LEVEL.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, WINSIM_CALLSITE);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, WINSIM_CALLSITE);
void ExFreePoolWithTag(PVOID P, ULONG Tag, WINSIM_CALLSITE);
void ExFreePool(PVOID P, WINSIM_CALLSITE);

typedef struct _FAST_MUTEX {
  volatile LONG Count;
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX layout");

// Acquire below DISPATCH_LEVEL; the owner runs at APC_LEVEL until release.
// Not recursive: a second acquire by the owner is a bug check. Taken in one
// order machine-wide with every other lock (an inversion is a bug check).
void ExInitializeFastMutex(PFAST_MUTEX FastMutex, WINSIM_CALLSITE);
void ExAcquireFastMutex(PFAST_MUTEX FastMutex, WINSIM_CALLSITE);
void ExReleaseFastMutex(PFAST_MUTEX FastMutex, WINSIM_CALLSITE);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex, WINSIM_CALLSITE);
#define KeInitializeGuardedMutex ExInitializeFastMutex
#define KeAcquireGuardedMutex ExAcquireFastMutex
#define KeReleaseGuardedMutex ExReleaseFastMutex

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef void (*PFREE_FUNCTION)(PVOID Buffer);

// Fixed-size block cache over pool. Blocks keep the list's tag, so a block
// that outlives its list shows up in the pool leak report under that tag.
typedef struct _NPAGED_LOOKASIDE_LIST {
  SINGLE_LIST_ENTRY ListHead;
  USHORT Depth;
  USHORT MaximumDepth;
  ULONG TotalAllocates;
  ULONG AllocateMisses;
  ULONG TotalFrees;
  ULONG FreeMisses;
  POOL_TYPE Type;
  ULONG Tag;
  ULONG Size;
  PALLOCATE_FUNCTION Allocate;
  PFREE_FUNCTION Free;
  KSPIN_LOCK Lock;
  ULONG Initialized;
  ULONG Reserved[15];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 128, "lookaside list occupies one 128-byte block as on x64");

// A list stays registered with the kernel from initialisation until it is
// deleted: freeing its memory or unloading the driver before that is a bug check.
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth,
                                     WINSIM_CALLSITE);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, WINSIM_CALLSITE);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, WINSIM_CALLSITE);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry, WINSIM_CALLSITE);
#define ExInitializePagedLookasideList ExInitializeNPagedLookasideList
#define ExDeletePagedLookasideList ExDeleteNPagedLookasideList
#define ExAllocateFromPagedLookasideList ExAllocateFromNPagedLookasideList
#define ExFreeToPagedLookasideList ExFreeToNPagedLookasideList
