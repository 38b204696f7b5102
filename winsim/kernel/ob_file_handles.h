// Kernel file handles that ZwOpenFile handed out (see nt/ob.h).
#pragma once
#include <cstddef>

namespace winsim {

// Kernel file handles not yet closed.
size_t OpenKernelFileHandles();
// Machine boot: handles of an earlier machine are gone.
void ResetKernelFileHandles();

}  // namespace winsim
