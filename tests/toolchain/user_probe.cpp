// User-mode counterpart of layout_probe.sys: the private interface and the
// KS layout expectations compiled against MinGW-w64's <windows.h>, <ks.h> and
// <ksmedia.h>, as QavAsio, QavPropPage and qav (x64) and QavPanel (x86) see
// them. Built as an object only; nothing links it.
#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

#include "uac2common/uac2private.h"
#include "uac2common/wstr.h"
#include "toolchain/ks_layouts.h"

static_assert(sizeof(QAV_W("x")[0]) == sizeof(WCHAR), "QAV_W yields WCHAR literals in user code");

// Instantiates the name accessors with this target's WCHAR (wchar_t).
ULONG QavUserProbeClockName(ClockSourceInfo &info, WCHAR (&name)[UAC_CLOCK_NAME_CHARS]) {
  ClockSourceInfoSetName(info, QAV_W("Internal"), 8);
  return ClockSourceInfoGetName(info, name, UAC_CLOCK_NAME_CHARS);
}
