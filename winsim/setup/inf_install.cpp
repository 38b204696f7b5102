#include "winsim/setup/inf_install.h"

#include <algorithm>
#include <memory>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim::setup {
namespace {

// One function-driver service of an INF and the models it serves.
class InfInstaller : public PackageInstaller {
 public:
  InfInstaller(std::string fileName, ServiceInstall service, std::vector<InfModel> models,
               std::vector<std::u16string> pickedIds)
      : m_fileName(std::move(fileName)),
        m_service(std::move(service)),
        m_models(std::move(models)),
        m_pickedIds(std::move(pickedIds)) {}

  void WriteServiceKey(const std::u16string &serviceKey) override {
    pnp::WriteDword(serviceKey, u"Type", m_service.serviceType);
    pnp::WriteDword(serviceKey, u"Start", m_service.startType);
    pnp::WriteDword(serviceKey, u"ErrorControl", m_service.errorControl);
    pnp::WriteString(serviceKey, u"ImagePath", m_service.imagePath);
    if (!m_service.displayName.empty()) pnp::WriteString(serviceKey, u"DisplayName", m_service.displayName);
    ApplyAddReg(m_service.addReg, serviceKey);
  }

  std::u16string DescriptionOf(const std::u16string &matchedId) override {
    const InfModel *model = ModelFor(matchedId);
    return model != nullptr ? model->description : std::u16string();
  }

  NTSTATUS SetUpDevice(PnpManager &manager, const DeviceSetup &device) override {
    const InfModel *model = ModelFor(device.matchedId);
    if (model == nullptr) return STATUS_NOT_FOUND;
    const DeviceInstall &install = *model->install;
    NTSTATUS status = ApplyAddReg(install.softwareKey, device.driverKey);
    if (NT_SUCCESS(status)) status = ApplyAddReg(install.hardwareKey, device.enumKey + u"\\" + pnp::kDeviceParameters);
    for (const InterfaceInstall &interface : install.interfaces) {
      if (NT_SUCCESS(status)) status = Provision(manager, device, interface);
    }
    DebugLog::Append("setup", m_fileName + ": [" + install.section + "] for " + pnp::Narrow(device.matchedId) +
                                  (NT_SUCCESS(status) ? "" : " failed"));
    return status;
  }

 private:
  const InfModel *ModelFor(const std::u16string &id) const {
    for (const InfModel &model : m_models) {
      if (pnp::EqualNoCase(model.hardwareId, id)) return &model;
      for (const std::u16string &compatible : model.compatibleIds) {
        if (pnp::EqualNoCase(compatible, id)) return &model;
      }
    }
    for (const std::u16string &picked : m_pickedIds) {
      if (pnp::EqualNoCase(picked, id)) return &m_models.front();
    }
    return nullptr;
  }

  // The interface exists for the device from now on (not enabled: its
  // driver enables it), with the values the INF gives its key.
  static NTSTATUS Provision(PnpManager &manager, const DeviceSetup &device, const InterfaceInstall &interface) {
    std::u16string link;
    NTSTATUS status = manager.RegisterInterface(device.pdo, interface.classGuid, interface.reference, &link);
    if (!NT_SUCCESS(status)) return status;
    return ApplyAddReg(interface.addReg, manager.InterfaceKeyPath(link) + u"\\" + pnp::kDeviceParameters);
  }

  std::string m_fileName;
  ServiceInstall m_service;
  std::vector<InfModel> m_models;
  std::vector<std::u16string> m_pickedIds;
};

PDRIVER_INITIALIZE EntryOf(const ServiceEntries &services, const std::u16string &name) {
  for (const auto &[service, entry] : services) {
    if (pnp::EqualNoCase(service, name)) return entry;
  }
  return nullptr;
}

// The models of each function-driver service, in INF order.
std::vector<std::vector<InfModel>> ModelsByService(const InfPackage &package) {
  std::vector<std::vector<InfModel>> groups;
  for (const InfModel &model : package.models) {
    const std::u16string &service = model.install->FunctionService()->name;
    auto group = std::find_if(groups.begin(), groups.end(), [&](const std::vector<InfModel> &g) {
      return pnp::EqualNoCase(g.front().install->FunctionService()->name, service);
    });
    if (group == groups.end()) {
      groups.push_back({model});
    } else {
      group->push_back(model);
    }
  }
  return groups;
}

DriverPackage PackageOf(const InfPackage &inf, std::string_view fileName, std::vector<InfModel> models,
                        PDRIVER_INITIALIZE entry, const std::vector<std::u16string> &pickedIds) {
  const ServiceInstall &service = *models.front().install->FunctionService();
  DriverPackage package;
  package.serviceName = service.name;
  package.entry = entry;
  package.classGuid = inf.classGuid;
  package.className = inf.className;
  package.manufacturer = inf.manufacturer;
  for (const InfModel &model : models) {
    package.hardwareIds.push_back(model.hardwareId);
    for (const std::u16string &id : model.compatibleIds) package.hardwareIds.push_back(id);
  }
  for (const std::u16string &id : pickedIds) package.hardwareIds.push_back(id);
  package.installer = std::make_shared<InfInstaller>(std::string(fileName), service, std::move(models), pickedIds);
  return package;
}

}  // namespace

std::string PackageResult::Describe() const { return Ok() ? "installed " + fileName : error.Describe(fileName); }

PackageResult BuildDriverPackages(std::string_view fileName, std::string_view infText, std::string_view architecture,
                                  const ServiceEntries &services, const std::vector<std::u16string> &pickedIds,
                                  std::vector<DriverPackage> *packages) {
  PackageResult result;
  result.fileName = std::string(fileName);
  InfFile inf;
  InfPackage package;
  result.error = InfFile::Parse(infText, &inf);
  if (!result.error.Failed()) result.error = ReadInfPackage(inf, architecture, &package);
  if (result.error.Failed()) return result;
  std::vector<DriverPackage> built;
  for (std::vector<InfModel> &models : ModelsByService(package)) {
    const ServiceInstall &service = *models.front().install->FunctionService();
    PDRIVER_INITIALIZE entry = EntryOf(services, service.name);
    if (entry == nullptr) {
      result.error = InfError{kErrorNoAssociatedService, service.line,
                              "no driver image for service " + pnp::Narrow(service.name)};
      return result;
    }
    built.push_back(PackageOf(package, fileName, std::move(models), entry, built.empty() ? pickedIds : std::vector<std::u16string>{}));
  }
  for (const InfModel &model : package.models) result.hardwareIds.push_back(model.hardwareId);
  *packages = std::move(built);
  return result;
}

}  // namespace winsim::setup
