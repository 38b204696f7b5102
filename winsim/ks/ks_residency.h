// What ks.sys reads of a minidriver's descriptors at DISPATCH_LEVEL must be
// resident (ks_residency.cpp).
#pragma once
#include <wdm.h>
#include <ks.h>

#include <source_location>

namespace winsim::ks {

// A filter whose pins (or the filter itself) process at DISPATCH_LEVEL has
// its descriptor read there while they process: the filter descriptor, its
// pin descriptor table, and of each such pin the dispatch and automation
// tables, allocator framing and data ranges. Any of them in paged pool is a
// bug check (DRIVER_IRQL_NOT_LESS_OR_EQUAL) when the factory is created, not
// only on the day the page happens to be out.
void RequireResidentDescriptor(const KSFILTER_DESCRIPTOR *descriptor, const std::source_location &site);

}  // namespace winsim::ks
