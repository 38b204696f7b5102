// Arrival of a device and installation of drivers: enumeration, the Enum
// and driver keys, binding by hardware id, loading, AddDevice and start.
#include <string>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_driver.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_irp.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim {
namespace {

// Longest device or instance id accepted from a bus driver, in characters.
constexpr size_t kMaxIdChars = 200;

bool UsableIds(const DeviceNode &node) {
  return !node.deviceId.empty() && node.deviceId.size() <= kMaxIdChars && !node.instanceId.empty() &&
         node.instanceId.size() <= kMaxIdChars && node.instanceId.find(u'\\') == std::u16string::npos;
}

void WriteServiceKey(const DriverPackage &package) {
  std::u16string key = std::u16string(pnp::kServicesRoot) + u"\\" + package.serviceName;
  pnp::WriteString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + package.serviceName + u".sys");
  pnp::WriteDword(key, u"Type", 1);          // SERVICE_KERNEL_DRIVER
  pnp::WriteDword(key, u"Start", 3);         // SERVICE_DEMAND_START
  pnp::WriteDword(key, u"ErrorControl", 1);  // SERVICE_ERROR_NORMAL
  if (!package.description.empty()) pnp::WriteString(key, u"DisplayName", package.description);
  if (package.installer != nullptr) package.installer->WriteServiceKey(key);
}

void WriteEnumKey(const DeviceNode &node) {
  pnp::CreateKeyPath(node.enumKey);
  pnp::WriteString(node.enumKey, u"DeviceDesc", node.description);
  pnp::WriteMultiString(node.enumKey, u"HardwareID", node.hardwareIds);
  if (!node.compatibleIds.empty()) pnp::WriteMultiString(node.enumKey, u"CompatibleIDs", node.compatibleIds);
  if (!node.location.empty()) pnp::WriteString(node.enumKey, u"LocationInformation", node.location);
  pnp::WriteDword(node.enumKey, u"ConfigFlags", 0);
}

// The driver key the device had (its Enum key's "Driver" value) when it is
// of the package's class, else the class's next free NNNN.
std::u16string DriverKeyNameFor(const DeviceNode &node, const DriverPackage &package) {
  std::u16string prefix = pnp::GuidText(package.classGuid) + u"\\";
  std::optional<std::u16string> kept = pnp::ReadString(node.enumKey, u"Driver");
  if (kept && kept->size() == prefix.size() + 4 && pnp::EqualNoCase(kept->substr(0, prefix.size()), prefix)) {
    return *kept;
  }
  std::optional<std::u16string> index = pnp::FreeDriverKeyIndex(package.classGuid);
  return index ? prefix + *index : std::u16string();
}

std::u16string MatchedId(const DeviceNode &node, const DriverPackage &package) {
  for (const auto *ids : {&node.hardwareIds, &node.compatibleIds}) {
    for (const std::u16string &id : *ids) {
      for (const std::u16string &wanted : package.hardwareIds) {
        if (pnp::EqualNoCase(id, wanted)) return id;
      }
    }
  }
  return {};
}

}  // namespace

void PnpManager::InstallDriver(DriverPackage package) {
  RunAction("install driver", [this, package = std::move(package)] {
    WriteServiceKey(package);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      DriverRecord *existing = nullptr;
      for (auto &driver : m_drivers) {
        if (pnp::EqualNoCase(driver->package.serviceName, package.serviceName)) existing = driver.get();
      }
      if (existing != nullptr) {
        existing->package = package;
      } else {
        m_drivers.push_back(std::make_unique<DriverRecord>());
        m_drivers.back()->package = package;
      }
    }
    std::vector<std::shared_ptr<DeviceNode>> unbound;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (const auto &[pdo, node] : m_nodes) {
        if (node->state == DeviceNodeState::NoDriver && !node->gone) unbound.push_back(node);
      }
    }
    std::sort(unbound.begin(), unbound.end(), [](const auto &a, const auto &b) { return a->order < b->order; });
    for (const auto &node : unbound) BindAndStart(node);
  });
}

void PnpManager::DeviceArrived(PDEVICE_OBJECT pdo) {
  RunAction("device arrived", [this, pdo] { Arrive(pdo); });
}

void PnpManager::Arrive(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr || NodeOf(pdo) != nullptr) return;
  auto node = std::make_shared<DeviceNode>();
  node->pdo = pdo;
  Enumerate(*node);
  if (!UsableIds(*node)) {
    DebugLog::Append("pnp", "a device without usable device and instance ids is ignored");
    return;
  }
  ObReferenceObject(pdo);  // the node's; dropped after the device left (Forget)
  if (WaitForOldInstance(node)) {
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": waits until its old instance is removed");
    return;
  }
  Install(node);
}

void PnpManager::Install(const std::shared_ptr<DeviceNode> &node) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->order = m_nextOrder++;
    m_nodes[node->pdo] = node;
  }
  WriteEnumKey(*node);
  BindAndStart(node);
}

// Asks the bus driver alone (the PDO has no stack yet).
void PnpManager::Enumerate(DeviceNode &node) {
  node.deviceId = pnp::QueryId(node.pdo, BusQueryDeviceID).value_or(u"");
  node.instanceId = pnp::QueryId(node.pdo, BusQueryInstanceID).value_or(u"");
  node.hardwareIds = pnp::QueryIdList(node.pdo, BusQueryHardwareIDs);
  node.compatibleIds = pnp::QueryIdList(node.pdo, BusQueryCompatibleIDs);
  node.description = pnp::QueryDeviceText(node.pdo, DeviceTextDescription).value_or(u"Unknown device");
  node.location = pnp::QueryDeviceText(node.pdo, DeviceTextLocationInformation).value_or(u"");
  if (!NT_SUCCESS(pnp::QueryCapabilities(node.pdo, &node.busCapabilities))) {
    pnp::InitializeCapabilities(&node.busCapabilities);
  }
  node.capabilities = node.busCapabilities;
  node.enumKey = pnp::EnumKeyPath(node.InstancePath());
}

DriverRecord *PnpManager::MatchDriver(const DeviceNode &node) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto *ids : {&node.hardwareIds, &node.compatibleIds}) {
    for (const std::u16string &id : *ids) {
      for (auto &driver : m_drivers) {
        for (const std::u16string &wanted : driver->package.hardwareIds) {
          if (pnp::EqualNoCase(id, wanted)) return driver.get();
        }
      }
    }
  }
  return nullptr;
}

void PnpManager::BindAndStart(const std::shared_ptr<DeviceNode> &node) {
  DriverRecord *driver = MatchDriver(*node);
  if (driver == nullptr) {
    SetState(*node, DeviceNodeState::NoDriver, kProblemFailedInstall);
    return;
  }
  const DriverPackage &package = driver->package;
  std::u16string keyName = DriverKeyNameFor(*node, package);
  if (keyName.empty()) {
    SetState(*node, DeviceNodeState::NoDriver, kProblemFailedInstall);
    return;
  }
  std::u16string driverKey = std::u16string(pnp::kClassRoot) + u"\\" + keyName;
  pnp::WriteString(pnp::ClassKeyPath(package.classGuid), u"Class", package.className);
  const std::u16string matchedId = MatchedId(*node, package);
  std::u16string description = package.description.empty() ? node->description : package.description;
  if (package.installer != nullptr) {
    std::u16string described = package.installer->DescriptionOf(matchedId);
    if (!described.empty()) description = described;
  }
  pnp::WriteString(driverKey, u"DriverDesc", description);
  pnp::WriteString(driverKey, u"MatchingDeviceId", matchedId);
  if (!package.manufacturer.empty()) pnp::WriteString(driverKey, u"ProviderName", package.manufacturer);
  pnp::WriteString(node->enumKey, u"Driver", keyName);
  pnp::WriteString(node->enumKey, u"Service", package.serviceName);
  pnp::WriteString(node->enumKey, u"ClassGUID", pnp::GuidText(package.classGuid));
  pnp::WriteString(node->enumKey, u"Class", package.className);
  pnp::WriteString(node->enumKey, u"DeviceDesc", description);
  if (!package.manufacturer.empty()) pnp::WriteString(node->enumKey, u"Mfg", package.manufacturer);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->driverKeyName = keyName;
    node->service = package.serviceName;
    node->classGuid = package.classGuid;
    node->className = package.className;
  }
  if (package.installer != nullptr &&
      !NT_SUCCESS(package.installer->SetUpDevice(*this, DeviceSetup{node->pdo, matchedId, node->enumKey, driverKey}))) {
    SetState(*node, DeviceNodeState::NoDriver, kProblemFailedInstall);
    return;
  }
  if (LoadDriverFor(*node, *driver)) AddAndStart(*node, *driver);
}

bool PnpManager::LoadDriverFor(DeviceNode &node, DriverRecord &driver) {
  if (driver.object != nullptr) return true;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT object = LoadDriver(driver.package.entry, driver.package.serviceName, &status);
  if (object == nullptr) {
    SetState(node, DeviceNodeState::Failed, kProblemFailedDriverEntry);
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  driver.object = object;
  return true;
}

bool PnpManager::AddAndStart(DeviceNode &node, DriverRecord &driver) {
  PDRIVER_OBJECT object = driver.object;
  PDRIVER_ADD_DEVICE addDevice = object->DriverExtension->AddDevice;
  NTSTATUS status = addDevice != nullptr ? addDevice(object, node.pdo) : STATUS_NOT_SUPPORTED;
  RequireIrqlRestored("AddDevice", PASSIVE_LEVEL, std::source_location::current());
  if (!NT_SUCCESS(status) || IoGetAttachedDevice(node.pdo) == node.pdo) {
    SetState(node, DeviceNodeState::Failed, kProblemFailedAdd);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node.hasStack = true;
    node.postStartStatus = STATUS_SUCCESS;
    ++driver.devices;
  }
  return StartStack(node);
}

// START_DEVICE, then the stack's capabilities. A start continuation
// (ks.sys's PostStart) may still run when this returns: the manager goes on
// with the device as Windows does, and hears of a failed continuation
// through IoInvalidateDeviceState. A stack that fails to start is removed
// again.
bool PnpManager::StartStack(DeviceNode &node) {
  PDEVICE_OBJECT top = pnp::ReferenceTop(node.pdo);
  NTSTATUS status = pnp::SendPnp(top, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.StartDevice.AllocatedResources = nullptr;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
  });
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node.startStatus = status;
  }
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(top);
    RemoveStack(NodeOf(node.pdo));
    SetState(node, DeviceNodeState::Failed, kProblemFailedStart);
    return false;
  }
  DEVICE_CAPABILITIES capabilities;
  bool answered = NT_SUCCESS(pnp::QueryCapabilities(top, &capabilities));
  ObDereferenceObject(top);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (answered) node.capabilities = capabilities;
  }
  SetState(node, DeviceNodeState::Started, kProblemNone);
  return true;
}

}  // namespace winsim
