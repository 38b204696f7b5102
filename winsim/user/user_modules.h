// The system DLLs user code loads at run time, and their exports.
#pragma once
#include <windows.h>

#include <string>

namespace winsim {

// ksuser.dll's export of that name, or null.
FARPROC KsUserExport(const std::string &name);
// avrt.dll's export of that name, or null.
FARPROC AvrtExport(const std::string &name);
// Multimedia tasks joined and not yet reverted.
int OutstandingMmTasks();
void ResetMmTasks();

}  // namespace winsim
