// Kernel handles to files: ZwOpenFile on a named device, the object manager's
// handle-to-object reference and the device a file's requests go to.
// ZwClose (nt/zw.h) closes these handles as well as registry keys.
//
// IRQL contracts: ZwOpenFile, ZwClose and ObReferenceObjectByHandle at
// PASSIVE_LEVEL; IoGetRelatedDeviceObject at <= DISPATCH_LEVEL.
#pragma once
#include <ntdef.h>
#include <nt/io.h>

#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x00000040
#endif
#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#endif
#ifndef STATUS_REVISION_MISMATCH
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059)
#endif

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
extern POBJECT_TYPE *IoFileObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Opens a named device object (\Device\<name>) for the kernel: the handle must
// be asked for with OBJ_KERNEL_HANDLE. STATUS_OBJECT_NAME_NOT_FOUND when no
// such device exists.
NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions, WINSIM_CALLSITE);

// The file object of a kernel file handle, referenced (ObDereferenceObject
// balances it). ObjectType *IoFileObjectType or NULL.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation, WINSIM_CALLSITE);

// The top of the stack the file's requests go to (not referenced).
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
