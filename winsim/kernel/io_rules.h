// Shared by winsim's I/O manager files: the pool tags of the objects it
// allocates for drivers, and the IRQL and object checks its entry points make.
#pragma once
#include <cstdint>
#include <wdm.h>

#include <source_location>
#include <string>

namespace winsim {

// Tags of pool the I/O manager allocates on a driver's behalf; a leak report
// at unload names them together with the driver line that asked.
inline constexpr ULONG kIrpTag = MAKEFOURCC_TAG('I', 'r', 'p', ' ');
inline constexpr ULONG kSystemBufferTag = MAKEFOURCC_TAG('I', 'o', 'B', 'f');
inline constexpr ULONG kDeviceObjectTag = MAKEFOURCC_TAG('D', 'e', 'v', 'i');
inline constexpr ULONG kWorkItemTag = MAKEFOURCC_TAG('I', 'o', 'W', 'k');
inline constexpr ULONG kMdlTag = MAKEFOURCC_TAG('M', 'd', 'l', ' ');
// Not pool: the tag under which fault injection counts MDL mappings.
inline constexpr ULONG kMappingTag = MAKEFOURCC_TAG('M', 'a', 'p', ' ');

// IRQL_NOT_LESS_OR_EQUAL unless the calling thread runs at <= DISPATCH_LEVEL.
void RequireAtMostDispatch(const char *api, const std::source_location &site);

// After calling into a driver routine (dispatch, completion, cancel, DPC,
// work item, callback): it must return at the IRQL it was called at, holding
// exactly the locks its caller held (spin locks, fast mutexes, the KS device
// mutex; a caller may legitimately call down, e.g. IoCallDriver at
// DISPATCH_LEVEL, with its own lock held). Otherwise a bug check naming the
// routine kind and the lock it kept, with where that lock was taken.
void RequireIrqlRestored(const char *routineKind, KIRQL expected, const std::source_location &site,
                         uint32_t expectedLocks = 0);
// Locks of every kind the current simulated thread holds.
uint32_t LocksHeld();

std::string Narrow(const UNICODE_STRING &text);
std::string Hex(const void *address);
// "file:line" of a call site.
std::string SiteText(const std::source_location &site);

}  // namespace winsim
