// The I/O manager's cancel spin lock (IoAcquireCancelSpinLock).
#pragma once

namespace winsim {

// Frees the lock at machine start, whatever a previous machine left.
void ResetCancelSpinLock();

}  // namespace winsim
