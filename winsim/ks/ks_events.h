// Event support below the public Ks* calls: the data a buffered event entry
// collects at each generation, for the enabling and query code that owns
// the entries (KSEVENT_TYPE_ENABLEBUFFERED / KSEVENT_TYPE_QUERYBUFFER).
// A buffered entry (KSEVENT_ENTRY_BUFFERED) points BufferItem at a
// KSBUFFER_ITEM whose BufferList and DpcItem.AccessLock (the lock over the
// list) its owner initialised; both calls below run at <= DISPATCH_LEVEL.
#pragma once
#include <wdm.h>
#include <ks.h>

#include <vector>

namespace winsim::ks {

// At most this many generations wait in a buffered entry; older ones go.
inline constexpr ULONG kMaxBufferedEvents = 64;
// Generations carrying more data than this are not buffered.
inline constexpr ULONG kMaxEventDataBytes = 4096;

// Takes the oldest buffered data of the entry; false when none waits.
bool TakeBufferedData(PKSEVENT_ENTRY entry, std::vector<UCHAR> *data);
// Frees everything still buffered (the entry is being disabled).
void DiscardBufferedData(PKSEVENT_ENTRY entry);

}  // namespace winsim::ks
