#include "asio_machine.h"

#include "support/catalog_machine.h"
#include "uac2common/uac2private.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace asiotest {
namespace {

std::vector<std::u16string> FamilyIds() {
  std::vector<std::u16string> ids;
  for (const auto &model : winsim::devices::Catalog()) ids.push_back(testsupport::HardwareId(model));
  return ids;
}

std::u16string ClientLink(winsim::PnpManager &pnp, PDEVICE_OBJECT pdo) {
  for (const auto &info : pnp.Interfaces(&GUID_DEVINTERFACE_UacClient, true)) {
    if (info.pdo == pdo && info.referenceString == u"GLOBAL") return info.symbolicLink;
  }
  std::u16string link;
  EXPECT_EQ(pnp.RegisterInterface(pdo, GUID_DEVINTERFACE_UacClient, u"GLOBAL", &link), STATUS_SUCCESS);
  EXPECT_EQ(pnp.SetInterfaceState(link, true), STATUS_SUCCESS);
  return link;
}

}  // namespace

AsioMachineTest::AsioMachineTest() : machine(testsupport::EchoingMachineOptions()) {
  machine.InstallDriver(u"QavAudio", DriverEntry, FamilyIds());
}

void AsioMachineTest::TearDown() {
  ReleaseDriver();
  machine.Pnp().WaitIdle();
  while (!m_plugged.empty()) Unplug(m_plugged.size() - 1, false);
}

std::shared_ptr<winsim::devices::AudioDevice> AsioMachineTest::Plug(const char *model, const PlugOptions &options) {
  const winsim::devices::DeviceModel *found = winsim::devices::FindModel(model);
  EXPECT_NE(found, nullptr) << model;
  if (found == nullptr) return nullptr;
  auto built = winsim::devices::BuildDevice(*found);
  EXPECT_TRUE(built.Ok()) << model << ": " << built.detail;
  if (options.edit) options.edit(built.definition);
  auto device = std::make_shared<winsim::devices::AudioDevice>(built.definition);
  if (options.loopback) {
    for (uint32_t c = 0; c < 32; ++c) device->SetCaptureSource(c, winsim::devices::CaptureSource::Loopback(c));
  }
  const winsim::usb::UsbDeviceHandle handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  PDEVICE_OBJECT pdo = nullptr;
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) pdo = info.pdo;
  }
  EXPECT_NE(pdo, nullptr) << model;
  m_plugged.push_back({device, handle});
  if (pdo == nullptr) return device;
  const std::u16string link = ClientLink(machine.Pnp(), pdo);
  if (!options.friendlyName.empty()) {
    const std::u16string key = machine.Pnp().InterfaceKeyPath(link) + u"\\Device Parameters";
    EXPECT_EQ(winsim::SystemRegistry().WriteValue(key, u"FriendlyName", winsim::RegValue::String(options.friendlyName)),
              STATUS_SUCCESS);
  }
  return device;
}

void AsioMachineTest::Unplug(size_t index, bool surprise) {
  if (index >= m_plugged.size()) return;
  machine.UnplugDevice(m_plugged[index].handle, surprise);
  if (!surprise) machine.Pnp().WaitIdle();
  m_plugged.erase(m_plugged.begin() + static_cast<std::ptrdiff_t>(index));
}

QZUsb2Asio *AsioMachineTest::NewDriver() {
  HRESULT hr = S_OK;
  CUnknown *object = QZUsb2Asio::CreateInstance(nullptr, &hr);
  EXPECT_NE(object, nullptr);
  EXPECT_EQ(hr, S_OK);
  if (object == nullptr) return nullptr;
  object->NonDelegatingAddRef();
  asio = static_cast<QZUsb2Asio *>(object);
  return asio;
}

void AsioMachineTest::ReleaseDriver() {
  if (asio == nullptr) return;
  QZUsb2Asio *object = asio;
  asio = nullptr;
  static_cast<CUnknown *>(object)->NonDelegatingRelease();
}

}  // namespace asiotest
