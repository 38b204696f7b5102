// Test support for the kernel-streaming device side and the PnP manager:
// a bus driver whose bare PDOs the tests plug and unplug, and a minimal
// AVStream minidriver ("QavKsTest") that records every callback (name,
// IRQL, thread) and behaves as the running test scripts it.
#pragma once
#include <gtest/gtest.h>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace kstest {

inline constexpr char16_t kHardwareId[] = u"USB\\VID_2B5A&PID_8014";
inline constexpr char16_t kService[] = u"QavKsTest";

// A device on the test bus, as its PDO answers PnP queries.
struct BusDevice {
  std::u16string deviceId = kHardwareId;
  std::u16string instanceId = u"QAV0001";
  std::vector<std::u16string> hardwareIds = {u"USB\\VID_2B5A&PID_8014&REV_0100", kHardwareId};
  std::vector<std::u16string> compatibleIds = {u"USB\\Class_01&SubClass_01&Prot_20", u"USB\\Class_01"};
  std::u16string description = u"Tessarin Larch";
  ULONG address = 3;
  bool surpriseRemovalOK = false;
  DEVICE_POWER_STATE sleepState = PowerDeviceD3;  // what S1-S5 map to
  bool reportsFailed = false;  // QUERY_PNP_DEVICE_STATE answers PNP_DEVICE_FAILED
};

// The bus driver "QavKsBus": PDOs that answer QUERY_ID, QUERY_DEVICE_TEXT
// and QUERY_CAPABILITIES, complete START/REMOVE/power, and are deleted once
// gone and without a stack, as a real bus driver's.
class TestBus {
 public:
  explicit TestBus(winsim::Machine &machine);
  ~TestBus();

  // Returns once the PnP manager is done with the device, its start's
  // continuation (PostStart) included.
  PDEVICE_OBJECT Plug(const BusDevice &device = {}, bool waitForStart = true);
  // Orderly: the PnP manager removes the stack while the device is there.
  void Unplug(PDEVICE_OBJECT pdo, bool surprise);
  // PnP minor codes the PDO received, in order.
  std::vector<UCHAR> PnpSeen(PDEVICE_OBJECT pdo) const;
  // Power IRPs the PDO received, in order: "query S4", "set S0", "set D3".
  std::vector<std::string> PowerSeen(PDEVICE_OBJECT pdo) const;
  bool Started(PDEVICE_OBJECT pdo) const;
  // The bus driver finds the device failed: QUERY_PNP_DEVICE_STATE answers
  // PNP_DEVICE_FAILED from now on, and the PnP manager is told.
  void ReportFailed(PDEVICE_OBJECT pdo);
  // Unloads the bus driver, which checks that nothing leaked.
  void Unload();

 private:
  winsim::Machine &m_machine;
  PDRIVER_OBJECT m_driver = nullptr;
};

// One callback of the minidriver as it happened. SetPower is followed by
// "SetPowerAction" with the ShutdownType its IRP carried.
struct Call {
  std::string name;
  KIRQL irql = 0xFF;
  winsim::ThreadKind kind = winsim::ThreadKind::Test;
  std::string thread;
  std::string detail;
};

// What the minidriver does; each hook (when set) replaces the default,
// which succeeds.
struct Script {
  std::function<NTSTATUS(PKSDEVICE)> add;
  std::function<NTSTATUS(PKSDEVICE)> start;
  std::function<NTSTATUS(PKSDEVICE)> postStart;
  std::function<NTSTATUS(PKSDEVICE, PDEVICE_CAPABILITIES)> queryCapabilities;
  std::function<NTSTATUS(PKSDEVICE)> queryRemove;
  std::function<NTSTATUS(PKSDEVICE)> queryStop;
  std::function<void(PKSDEVICE)> remove;
  std::function<NTSTATUS(PKSDEVICE, POWER_ACTION)> queryPower;
  std::function<void(PKSDEVICE, DEVICE_POWER_STATE)> setPower;  // after it is recorded
  std::function<NTSTATUS(PKSFILTER)> filterCreate;  // the test factory's filters
};

// The minidriver's record and script, shared with its callbacks.
class MiniDriver {
 public:
  static MiniDriver &Instance();
  void Reset();

  Script script;
  std::vector<Call> Calls() const;
  // Names of the calls, in order.
  std::vector<std::string> Names() const;
  std::optional<Call> Find(const std::string &name) const;
  void Record(const std::string &name, std::string detail = {});
  PKSDEVICE LastDevice() const;
  void SetLastDevice(PKSDEVICE device);

 private:
  mutable std::mutex m_lock;
  std::vector<Call> m_calls;
  PKSDEVICE m_lastDevice = nullptr;
};

NTSTATUS MiniDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The four categories the driver's factory declares.
extern const GUID kFactoryCategories[4];
extern const GUID kPrivateCategory;
// A filter factory over kFactoryCategories with reference string "GLOBAL"
// (a second factory of one device needs a name of its own); its filters'
// Create and Close are recorded ("FilterCreate", "FilterClose").
NTSTATUS CreateTestFactory(PKSDEVICE device, PKSFILTERFACTORY *factory, PCWSTR reference = u"GLOBAL");
// For death tests, which build their own machine: the minidriver installed
// and one device plugged and started, its PostStart creating the test
// factory under the device mutex; returns that factory.
PKSFILTERFACTORY StartWithFactory(winsim::Machine &machine, TestBus &bus);

// A machine with the minidriver installed for kHardwareId and the test bus.
class KsTest : public ::testing::Test {
 protected:
  KsTest();
  void SetUp() override;
  void TearDown() override;

  // Plugs a device and returns its PDO; the minidriver's device is
  // Driver().LastDevice().
  PDEVICE_OBJECT PlugDevice(const BusDevice &device = {});
  MiniDriver &Driver() { return MiniDriver::Instance(); }
  winsim::DeviceNodeInfo Node(PDEVICE_OBJECT pdo);
  bool DriverLoaded() { return machine.Pnp().LoadedDriver(kService) != nullptr; }

  winsim::Machine machine;
  TestBus bus;
  std::vector<PDEVICE_OBJECT> plugged;
};

std::u16string Text(const WCHAR *text);
std::string Narrow(const std::u16string &text);

}  // namespace kstest
