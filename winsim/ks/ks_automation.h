// Property, method and event requests dispatched through automation tables,
// as ks.sys does for AVStream objects: the minidriver's table for the object
// (a node's table for KSPROPERTY_TYPE_TOPOLOGY requests) first, then the
// sets ks.sys answers itself from the descriptors.
//
// The caller's request and data are captured into pool copies of exactly the
// sizes given before any handler runs; results are copied back and
// IoStatus.Information is the number of bytes returned.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "winsim/ks/ks_objects.h"

namespace winsim::ks {

// A request and its data in kernel memory.
struct CapturedRequest {
  PUCHAR request;
  ULONG requestSize;
  PUCHAR data;
  ULONG dataSize;
};
// Copies Type3InputBuffer/InputBufferLength and UserBuffer/OutputBufferLength.
NTSTATUS CaptureRequest(PIRP irp, CapturedRequest *captured);
// Copies min(Information, dataSize) bytes back to the caller and frees both.
void ReleaseRequest(PIRP irp, CapturedRequest *captured, bool copyBack);

NTSTATUS HandleProperty(ObjectHeader *object, PIRP irp);
NTSTATUS HandleMethod(ObjectHeader *object, PIRP irp);
// The event item for a request, searched like properties; NULL when the set
// or the id is unknown (*setFound tells which).
const KSEVENT_ITEM *FindEventItem(ObjectHeader *object, const KSEVENT *event, const KSEVENT_SET **set,
                                  bool *setFound);

// The set's standard answers (ks_standard_sets.cpp) for filters and pins.
const KSPROPERTY_SET *StandardPropertySets(KSOBJECTTYPE type, ULONG *count);

// Size checks shared by handlers: a zero-length buffer asks for the size
// (STATUS_BUFFER_OVERFLOW, Information = needed), a short one is too small.
NTSTATUS RequireDataSize(PIRP irp, ULONG given, ULONG needed);
// KSMULTIPLE_ITEM answers: a zero-length buffer gets the size, one of exactly
// sizeof(KSMULTIPLE_ITEM) gets Size and Count only.
NTSTATUS ReturnMultipleItem(PIRP irp, PVOID data, ULONG dataSize, ULONG count, const void *items, ULONG bytes);

// The object a request in progress was sent to (for KsGetFilterFromIrp and
// KsGetPinFromIrp): set around the handler calls.
void BindIrp(PIRP irp, ObjectHeader *object);
void UnbindIrp(PIRP irp);
ObjectHeader *ObjectOfIrp(PIRP irp);

}  // namespace winsim::ks
