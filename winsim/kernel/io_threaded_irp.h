// IRPs the I/O manager builds for a caller (IoBuildDeviceIoControlRequest,
// IoBuildSynchronousFsdRequest) and finishes itself once they complete.
#pragma once
#include <wdm.h>

#include <source_location>

#include "winsim/kernel/io_irp_table.h"

namespace winsim {

// Called when a threaded IRP completed past its last stack location: copies
// buffered output to the caller's buffer, frees the system buffer and MDLs,
// stores the status in the caller's IO_STATUS_BLOCK, frees the IRP and then
// signals the caller's event.
void FinishThreadedIrp(PIRP irp, const IrpRecord &record, const std::source_location &site);

}  // namespace winsim
