// The Windows headers every driver source sees, in the one order that works
// with both header sets: MinGW-w64's DDK for the Windows kernel image, and
// winsim's SDK/DDK-named headers for the host build. Include this first (or
// through pool_tags.h / kernel_support.h), never the SDK headers directly.
//
// MinGW's headers need windef.h before ks.h/ksmedia.h for the Win32 base
// types, NOBITMAP so mmreg.h does not want wingdi.h, TCHAR for ksmedia.h, and
// C linkage around the USB headers, which lack their own.
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#include <windef.h>
#include <ks.h>
#ifndef NOBITMAP
#define NOBITMAP
#endif
#include <mmreg.h>
typedef WCHAR TCHAR;
#include <ksmedia.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
}
#else
#include <ntddk.h>
#include <ks.h>
#include <ksmedia.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
}
#endif

#include "uac2common/uac2private.h"
#include "uac2common/wstr.h"
