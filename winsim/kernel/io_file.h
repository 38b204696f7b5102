// File objects of the I/O manager: what a handle to a device refers to.
//
// A file object has two counts, as on Windows: handles (the last handle
// closed sends IRP_MJ_CLEANUP) and references (each handle as a whole holds
// one, every IRP in flight on the file holds one; the last reference sends
// IRP_MJ_CLOSE and frees the object). A file object opened relative to
// another (a KS pin under its filter) references its parent until its own
// close, so the parent's close always comes after it.
//
// Every open file object counts as an open handle on its device's stack for
// the PnP manager: the removal after a surprise removal waits for the
// IRP_MJ_CLOSE of the last one.
//
// All calls at PASSIVE_LEVEL except Reference/Dereference of a file that is
// not the last reference.
#pragma once
#include <wdm.h>

#include <source_location>
#include <string>

namespace winsim {

// Opens a file object on the stack whose bottom (the device a name resolved
// to) is `device`, with `name` as FileObject->FileName (taken by length: it
// may carry binary data after the name) and `related` as the
// RelatedFileObject (then `device` is ignored: the related file's device is
// used). Sends IRP_MJ_CREATE with `mode` as its RequestorMode and waits for
// it. On success *file has one handle and one reference.
NTSTATUS OpenFileObject(PDEVICE_OBJECT device, const std::u16string &name, PFILE_OBJECT related,
                        KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file);

// Resolves a \??\ device-interface link (the reference string and anything
// after it become the file name) and opens a file object on the device's
// stack. The link is matched case-insensitively, as the object manager does.
// STATUS_OBJECT_NAME_NOT_FOUND for no enabled interface of that name.
// \??\GLOBALROOT\Device\<name> opens a named device object instead.
// A \??\ name no interface has goes through the DOS-devices symbolic links
// (IoCreateSymbolicLink) to the named device they link to.
NTSTATUS OpenDevicePath(const std::u16string &path, KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file);

// The handle to the file object closed: the last one sends IRP_MJ_CLEANUP,
// then drops the handles' reference.
void CloseFileHandle(PFILE_OBJECT file);

// An IRP on the file holds a reference while in flight.
void ReferenceFileObject(PFILE_OBJECT file);
void DereferenceFileObject(PFILE_OBJECT file);
// Drops a reference unless it is the last one (whose close must be sent from
// PASSIVE_LEVEL, outside the completing driver's call); false then, and the
// reference is still held.
bool DereferenceFileObjectUnlessLast(PFILE_OBJECT file);

// Machine shutdown: forgets every file object without sending anything.
void ForgetFileObjects();

// Whether file is a file object that has not been freed.
bool IsLiveFileObject(PFILE_OBJECT file);
// File objects alive on the machine (between machine runs: 0).
size_t LiveFileObjectCount();

// The top of the stack the file's IRPs go to.
PDEVICE_OBJECT FileTargetDevice(PFILE_OBJECT file);

// Sends an IRP of the I/O manager on the file and waits for its completion
// (create, cleanup and close go this way). PASSIVE_LEVEL.
NTSTATUS SendFileIrpAndWait(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode, ACCESS_MASK access);

}  // namespace winsim
