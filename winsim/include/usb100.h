// USB 1.x descriptor definitions; on current Windows SDKs these live in usbspec.h.
#pragma once
#include <usbspec.h>
