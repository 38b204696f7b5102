// `qav asio info`: the installed ASIO driver as a host sees it, found and
// created the way hosts do it.
#include <objbase.h>

#include "tools/qav/asio_commands.h"
#include "tools/qav/asio_host.h"
#include "uac2common/asiodriver/driver_clsid.h"

namespace qav {

int ShowAsioInfo(CConsole &console) {
  const std::vector<AsioDriverEntry> drivers = FindAsioDrivers();
  const AsioDriverEntry *entry = ChooseAsioDriver(drivers, kAsioDriverName);
  if (entry == nullptr) {
    console.Err("no ASIO driver is registered (HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO is empty)");
    return kExitFailed;
  }
  CAsioHost host;
  AsioInfo info;
  info.registryName = entry->name;
  std::string error;
  {
    CAsioDriver driver;
    if (!driver.Create(*entry, &error) || !ReadAsioInfo(driver.Get(), host, &info, &error)) {
      console.Err("ASIO driver '" + entry->name + "': " + error);
      return kExitFailed;
    }
  }
  for (const std::string &line : DescribeAsioInfo(info)) console.Out(line);
  return kExitOk;
}

int RunAsioInfo(CConsole &console, const Args &args) {
  if (args.size() != 1 || args[0] != "info") {
    console.Err("usage: qav asio info");
    return kExitUsage;
  }
  const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int code = ShowAsioInfo(console);
  if (SUCCEEDED(entered)) CoUninitialize();
  return code;
}

}  // namespace qav
