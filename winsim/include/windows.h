// User-mode Windows API of the host build: the subset the deliverables call,
// implemented by winsim/user. Each DLL's part has its own header under win/.
#pragma once
#include <ntdef.h>
#include <winerror.h>
#include <nt/interlocked.h>
#include <win/windef.h>
#include <win/kernel32.h>
#include <win/user32.h>
#include <winreg.h>
