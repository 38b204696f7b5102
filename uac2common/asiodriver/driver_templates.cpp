// The class factory's table: the module serves one class, the driver object.
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/asiodriver/qzusb2asio.h"
#include "uac2common/wstr.h"

CFactoryTemplate g_Templates[] = {
    {QAV_W("QZUsb2Asio"), &CLSID_QZUsb2Asio, QZUsb2Asio::CreateInstance, nullptr},
};
int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];
