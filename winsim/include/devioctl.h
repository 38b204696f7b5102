// I/O control code construction, shared by kernel and user-mode headers of the
// host build. Values as in the Windows SDK; the kernel-streaming and USB
// headers build their IOCTL codes from these.
#pragma once

#define FILE_DEVICE_KS 0x0000002f
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SOUND 0x0000001d
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a

#define DEVICE_TYPE ULONG

#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctl) (((ULONG)((ctl) & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctl) ((ULONG)((ctl) & 3))

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0x00000000
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS 0x00000001
#define FILE_WRITE_ACCESS 0x00000002
