// Device I/O control codes for user mode (host build): the same definitions
// the kernel headers use.
#pragma once
#include <ntdef.h>
#include <devioctl.h>
