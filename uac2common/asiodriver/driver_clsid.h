// The ASIO driver's identity: its CLSID (also the interface id under which
// the driver object answers for IASIO, and the "CLSID" value of its ASIO
// key) and the name it registers and reports.
#pragma once
#include <windows.h>
#include <objbase.h>

#include "uac2common/uac2private.h"

// {CD0272B3-C970-4B65-875A-2EF90FE22902}
QAV_DEFINE_GUID(CLSID_QZUsb2Asio, 0xcd0272b3, 0xc970, 0x4b65, 0x87, 0x5a, 0x2e, 0xf9, 0x0f, 0xe2, 0x29, 0x02);

// The CLSID's text without braces: the driver object's name.
#define QZUSB2ASIO_CLSID_TEXT "CD0272B3-C970-4B65-875A-2EF90FE22902"

// Driver name, ASIO registry name and description alike.
inline constexpr char kAsioDriverName[] = "Quorvin Tessarin ASIO";
