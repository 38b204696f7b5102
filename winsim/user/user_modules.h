// The system DLLs user code loads at run time, and their exports.
#pragma once
#include <windows.h>

#include <string>

namespace winsim {

// ksuser.dll's export of that name, or null.
FARPROC KsUserExport(const std::string &name);

}  // namespace winsim
