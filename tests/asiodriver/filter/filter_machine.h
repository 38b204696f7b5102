// A Machine with QavAudio installed for the catalog models the tests plug; the
// test thread is the ASIO driver's host thread: it enumerates the client
// interface class and opens every device as a CQZAudioFilter.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "uac2common/asiodriver/filter/qzaudiofilter_list.h"
#include "winsim/devices/audio_device.h"
#include "winsim/machine.h"

namespace asiofiltertest {

struct PluggedDevice {
  std::string model;
  std::shared_ptr<winsim::devices::AudioDevice> device;
  winsim::usb::UsbDeviceHandle handle;
  PDEVICE_OBJECT pdo = nullptr;
};

class FilterMachineTest : public ::testing::Test {
 protected:
  FilterMachineTest();
  void TearDown() override;

  // Plugs the model and waits until plug-and-play is done with it; null on failure.
  PluggedDevice *Plug(const char *model);
  void Unplug(PluggedDevice *plugged, bool surprise = false);
  // A fresh list, enumerated.
  std::unique_ptr<CQZAudioFilterList> Enumerate();
  // The filter of the list opened for the plugged device (by interface path).
  CQZAudioFilter *FilterOf(const CQZAudioFilterList &list, const PluggedDevice &plugged);
  // Plugs the model and opens it through a list of its own.
  CQZAudioFilter *PlugAndOpen(const char *model);
  std::string ClientPath(const PluggedDevice &plugged);

  winsim::Machine machine;
  std::vector<std::unique_ptr<PluggedDevice>> plugged;
  std::vector<std::unique_ptr<CQZAudioFilterList>> lists;
};

// Paths compare without regard to case, as SetupAPI and the object manager do.
bool SamePath(const std::string &a, const std::string &b);

}  // namespace asiofiltertest
