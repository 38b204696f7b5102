// A Machine with QavAudio installed for a few catalog models, for the device
// enumeration tests. Besides the interfaces the driver's filter factory
// registers, each plugged device gets a GUID_DEVINTERFACE_UacClient
// interface leading to the same filter, as the package's installation adds
// it (an interface of the device with the filter's reference string, its
// key optionally holding "FriendlyName").
#pragma once
#include <windows.h>
#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace enumtest {

struct ClientInterface {
  // Written into the client interface's key.
  std::optional<std::u16string> friendlyName;
  // A second client interface under this reference string, which no filter
  // factory serves: its path does not open a filter.
  std::optional<std::u16string> strayReference;
};

class EnumMachine {
 public:
  explicit EnumMachine(const std::vector<const char *> &models);
  ~EnumMachine();

  PDEVICE_OBJECT Plug(const char *model, const ClientInterface &client = {});
  void Unplug(PDEVICE_OBJECT pdo, bool surprise = false);
  std::string Description(PDEVICE_OBJECT pdo);
  // The registry key ("Device Parameters") of the device's client interface.
  std::u16string ClientKey(PDEVICE_OBJECT pdo);
  // The device's present interface of a class, as SetupAPI names it.
  std::string Path(PDEVICE_OBJECT pdo, const GUID &interfaceClass);

  winsim::Machine machine;

 private:
  std::vector<std::pair<PDEVICE_OBJECT, winsim::usb::UsbDeviceHandle>> m_plugged;
};

}  // namespace enumtest
