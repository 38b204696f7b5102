// USB 2.0 descriptor definitions; on current Windows SDKs these live in one common
// header, here usb_chapter9.h.
#pragma once
#include <usb_chapter9.h>
