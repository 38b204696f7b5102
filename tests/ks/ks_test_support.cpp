#include "ks_test_support.h"

#include <cstdio>
#include <cstring>

#include "winsim/kernel/io_driver.h"

namespace kstest {
namespace {

constexpr ULONG kBusTag = MAKEFOURCC_TAG('K', 'B', 'u', 's');

struct PdoState {
  BusDevice device;
  bool started = false;
  bool removed = false;
  bool gone = false;
  bool deleted = false;
  std::vector<UCHAR> seen;
  std::vector<std::string> powerSeen;
};

std::mutex g_busLock;
std::map<PDEVICE_OBJECT, std::shared_ptr<PdoState>> g_pdos;

std::shared_ptr<PdoState> StateOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(g_busLock);
  auto it = g_pdos.find(pdo);
  return it == g_pdos.end() ? nullptr : it->second;
}

PWCHAR PoolText(const std::u16string &text) {
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kBusTag));
  if (buffer != nullptr) std::memcpy(buffer, text.c_str(), bytes);
  return buffer;
}

PWCHAR PoolMultiText(const std::vector<std::u16string> &strings) {
  std::u16string joined;
  for (const auto &text : strings) joined += text + u'\0';
  return PoolText(joined);  // PoolText adds the final terminator
}

NTSTATUS Answer(PIRP irp, PWCHAR buffer) {
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS QueryId(const BusDevice &device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: return Answer(irp, PoolText(device.deviceId));
    case BusQueryInstanceID: return Answer(irp, PoolText(device.instanceId));
    case BusQueryHardwareIDs: return Answer(irp, PoolMultiText(device.hardwareIds));
    case BusQueryCompatibleIDs: return Answer(irp, PoolMultiText(device.compatibleIds));
    default: return irp->IoStatus.Status;
  }
}

NTSTATUS QueryCapabilities(const BusDevice &device, PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = device.surpriseRemovalOK;
  caps->Address = device.address;
  caps->UINumber = device.address;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = device.sleepState;
  return STATUS_SUCCESS;
}

void DeleteIfDone(PDEVICE_OBJECT pdo, PdoState &state) {
  {
    std::lock_guard<std::mutex> guard(g_busLock);
    if (state.deleted || !state.gone) return;
    if (!state.removed && IoGetAttachedDevice(pdo) != pdo) return;
    state.deleted = true;
  }
  IoDeleteDevice(pdo);
}

NTSTATUS BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  std::shared_ptr<PdoState> state = StateOf(pdo);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  {
    std::lock_guard<std::mutex> guard(g_busLock);
    state->seen.push_back(minor);
  }
  NTSTATUS status = irp->IoStatus.Status;
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      std::lock_guard<std::mutex> guard(g_busLock);
      state->started = true;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      {
        std::lock_guard<std::mutex> guard(g_busLock);
        state->started = false;
        state->removed = true;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      DeleteIfDone(pdo, *state);
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: status = STATUS_SUCCESS; break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      irp->IoStatus.Information = state->device.reportsFailed ? PNP_DEVICE_FAILED : 0;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_ID: status = QueryId(state->device, irp); break;
    case IRP_MN_QUERY_CAPABILITIES: status = QueryCapabilities(state->device, irp); break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        status = Answer(irp, PoolText(state->device.description));
      } else {
        status = Answer(irp, PoolText(u"Port_#0003.Hub_#0001"));
      }
      break;
    default: break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  std::string what = stack->MinorFunction == IRP_MN_QUERY_POWER ? "query " : "set ";
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  int state = system ? stack->Parameters.Power.State.SystemState - 1 : stack->Parameters.Power.State.DeviceState - 1;
  what += (system ? "S" : "D") + std::to_string(state);
  if (std::shared_ptr<PdoState> pdoState = StateOf(pdo)) {
    std::lock_guard<std::mutex> guard(g_busLock);
    pdoState->powerSeen.push_back(what);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

}  // namespace

TestBus::TestBus(winsim::Machine &machine) : m_machine(machine) {
  m_driver = winsim::LoadDriver(BusEntry, u"QavKsBus");
}

TestBus::~TestBus() {
  std::lock_guard<std::mutex> guard(g_busLock);
  g_pdos.clear();
}

PDEVICE_OBJECT TestBus::Plug(const BusDevice &device, bool waitForStart) {
  PDEVICE_OBJECT pdo = nullptr;
  EXPECT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
            STATUS_SUCCESS);
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  auto state = std::make_shared<PdoState>();
  state->device = device;
  {
    std::lock_guard<std::mutex> guard(g_busLock);
    g_pdos[pdo] = state;
  }
  m_machine.Pnp().DeviceArrived(pdo);
  if (waitForStart) m_machine.Pnp().WaitIdle();  // PostStart runs on after the arrival
  return pdo;
}

void TestBus::Unplug(PDEVICE_OBJECT pdo, bool surprise) {
  std::shared_ptr<PdoState> state = StateOf(pdo);
  if (!surprise) m_machine.Pnp().DeviceLeaving(pdo);
  {
    std::lock_guard<std::mutex> guard(g_busLock);
    state->gone = true;
  }
  m_machine.Pnp().DeviceGone(pdo, surprise);
  DeleteIfDone(pdo, *state);
  m_machine.Pnp().WaitIdle();
}

std::vector<UCHAR> TestBus::PnpSeen(PDEVICE_OBJECT pdo) const {
  std::shared_ptr<PdoState> state = StateOf(pdo);
  std::lock_guard<std::mutex> guard(g_busLock);
  return state != nullptr ? state->seen : std::vector<UCHAR>();
}

std::vector<std::string> TestBus::PowerSeen(PDEVICE_OBJECT pdo) const {
  std::shared_ptr<PdoState> state = StateOf(pdo);
  std::lock_guard<std::mutex> guard(g_busLock);
  return state != nullptr ? state->powerSeen : std::vector<std::string>();
}

bool TestBus::Started(PDEVICE_OBJECT pdo) const {
  std::shared_ptr<PdoState> state = StateOf(pdo);
  std::lock_guard<std::mutex> guard(g_busLock);
  return state != nullptr && state->started;
}

void TestBus::ReportFailed(PDEVICE_OBJECT pdo) {
  if (std::shared_ptr<PdoState> state = StateOf(pdo)) {
    std::lock_guard<std::mutex> guard(g_busLock);
    state->device.reportsFailed = true;
  }
  IoInvalidateDeviceState(pdo);
  m_machine.Pnp().WaitIdle();
}

void TestBus::Unload() {
  if (m_driver != nullptr) winsim::UnloadDriver(m_driver);
  m_driver = nullptr;
}

// ---------------------------------------------------------------------------
// The minidriver

MiniDriver &MiniDriver::Instance() {
  static MiniDriver driver;
  return driver;
}

void MiniDriver::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  script = Script{};
  m_calls.clear();
  m_lastDevice = nullptr;
}

std::vector<Call> MiniDriver::Calls() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_calls;
}

std::vector<std::string> MiniDriver::Names() const {
  std::vector<std::string> names;
  for (const Call &call : Calls()) names.push_back(call.name);
  return names;
}

std::optional<Call> MiniDriver::Find(const std::string &name) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const Call &call : m_calls) {
    if (call.name == name) return call;
  }
  return std::nullopt;
}

void MiniDriver::Record(const std::string &name, std::string detail) {
  Call call;
  call.name = name;
  call.irql = KeGetCurrentIrql();
  if (winsim::SimThread *thread = winsim::Scheduler::Current()) {
    call.kind = thread->Kind();
    call.thread = thread->Name();
  }
  call.detail = std::move(detail);
  std::lock_guard<std::mutex> guard(m_lock);
  m_calls.push_back(std::move(call));
}

PKSDEVICE MiniDriver::LastDevice() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lastDevice;
}

void MiniDriver::SetLastDevice(PKSDEVICE device) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lastDevice = device;
}

namespace {

MiniDriver &Mini() { return MiniDriver::Instance(); }

std::string States(const char *prefix, int to, int from) {
  char text[48];
  std::snprintf(text, sizeof text, "%s%d<-%s%d", prefix, to, prefix, from);
  return text;
}

NTSTATUS OnAdd(PKSDEVICE device) {
  Mini().SetLastDevice(device);
  Mini().Record("Add");
  return Mini().script.add ? Mini().script.add(device) : STATUS_SUCCESS;
}

NTSTATUS OnStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  bool busStarted = false;
  if (std::shared_ptr<PdoState> bus = StateOf(device->PhysicalDeviceObject)) {
    std::lock_guard<std::mutex> guard(g_busLock);
    busStarted = bus->started;
  }
  Mini().Record("Start", busStarted ? "bus started" : "bus not started");
  return Mini().script.start ? Mini().script.start(device) : STATUS_SUCCESS;
}

NTSTATUS OnPostStart(PKSDEVICE device) {
  Mini().Record("PostStart", device->Started ? "started" : "not started");
  return Mini().script.postStart ? Mini().script.postStart(device) : STATUS_SUCCESS;
}

NTSTATUS OnQueryCapabilities(PKSDEVICE device, PIRP, PDEVICE_CAPABILITIES caps) {
  Mini().Record("QueryCapabilities", "address " + std::to_string(caps->Address) + ", surprise removal " +
                                         (caps->SurpriseRemovalOK ? "ok" : "not ok"));
  return Mini().script.queryCapabilities ? Mini().script.queryCapabilities(device, caps) : STATUS_SUCCESS;
}

NTSTATUS OnQueryRemove(PKSDEVICE device, PIRP) {
  Mini().Record("QueryRemove");
  return Mini().script.queryRemove ? Mini().script.queryRemove(device) : STATUS_SUCCESS;
}

void OnCancelRemove(PKSDEVICE, PIRP) { Mini().Record("CancelRemove"); }

NTSTATUS OnQueryStop(PKSDEVICE device, PIRP) {
  Mini().Record("QueryStop");
  return Mini().script.queryStop ? Mini().script.queryStop(device) : STATUS_SUCCESS;
}

void OnCancelStop(PKSDEVICE, PIRP) { Mini().Record("CancelStop"); }

void OnStop(PKSDEVICE device, PIRP) { Mini().Record("Stop", device->Started ? "started" : "not started"); }

void OnRemove(PKSDEVICE device, PIRP) {
  Mini().Record("Remove");
  if (Mini().script.remove) Mini().script.remove(device);
}

void OnSurpriseRemoval(PKSDEVICE, PIRP) { Mini().Record("SurpriseRemoval"); }

NTSTATUS OnQueryPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE deviceTo, DEVICE_POWER_STATE deviceFrom,
                      SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE systemFrom, POWER_ACTION action) {
  Mini().Record("QueryPower", States("D", deviceTo - 1, deviceFrom - 1) + " " +
                                  States("S", systemTo - 1, systemFrom - 1) + " action " + std::to_string(action));
  return Mini().script.queryPower ? Mini().script.queryPower(device, action) : STATUS_SUCCESS;
}

void OnSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  Mini().Record("SetPower", States("D", to - 1, from - 1));
  Mini().Record("SetPowerAction",
                std::to_string(static_cast<int>(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.ShutdownType)));
  if (Mini().script.setPower) Mini().script.setPower(device, to);
}

const KSDEVICE_DISPATCH kDispatch = {
    OnAdd,  OnStart,         OnPostStart,       OnQueryStop,      OnCancelStop, OnStop,     OnQueryRemove,
    OnCancelRemove, OnRemove, OnQueryCapabilities, OnSurpriseRemoval, OnQueryPower, OnSetPower, nullptr};

const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

PDRIVER_UNLOAD g_ksUnload = nullptr;

void MiniDriverUnload(PDRIVER_OBJECT driver) {
  Mini().Record("Unload");
  g_ksUnload(driver);
}

}  // namespace

NTSTATUS MiniDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  Mini().Record("DriverEntry");
  NTSTATUS status = KsInitializeDriver(driver, registryPath, &kDescriptor);
  g_ksUnload = driver->DriverUnload;
  driver->DriverUnload = MiniDriverUnload;
  return status;
}

const GUID kPrivateCategory = {0x5d8b1f3e, 0x2c47, 0x4a1b, {0x9e, 0x61, 0x3f, 0x0a, 0x7c, 0x22, 0x91, 0x4d}};
const GUID kFactoryCategories[4] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE, kPrivateCategory};

namespace {

NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp) {
  Mini().Record("FilterCreate", IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE ? "create" : "?");
  return Mini().script.filterCreate ? Mini().script.filterCreate(filter) : STATUS_SUCCESS;
}

NTSTATUS FilterClose(PKSFILTER, PIRP irp) {
  Mini().Record("FilterClose", IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE ? "close" : "?");
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    &kFilterDispatch, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0,       nullptr, 0, sizeof(KSPIN_DESCRIPTOR_EX), nullptr,
    4,       kFactoryCategories, 0, sizeof(KSNODE_DESCRIPTOR), nullptr, 0,       nullptr,       nullptr};

}  // namespace

NTSTATUS CreateTestFactory(PKSDEVICE device, PKSFILTERFACTORY *factory, PCWSTR reference) {
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, const_cast<PWSTR>(reference),
                               nullptr, 0, nullptr, nullptr, factory);
}

// ---------------------------------------------------------------------------
// Fixture

PKSFILTERFACTORY StartWithFactory(winsim::Machine &machine, TestBus &bus) {
  MiniDriver::Instance().Reset();
  static PKSFILTERFACTORY factory;
  factory = nullptr;
  MiniDriver::Instance().script.postStart = [](PKSDEVICE device) {
    KsAcquireDevice(device);
    NTSTATUS status = CreateTestFactory(device, &factory);
    KsReleaseDevice(device);
    return status;
  };
  machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
  bus.Plug();
  machine.Pnp().WaitIdle();
  return factory;
}

KsTest::KsTest() : bus(machine) {}

void KsTest::SetUp() {
  Driver().Reset();
  machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
}

void KsTest::TearDown() {
  for (PDEVICE_OBJECT pdo : plugged) {
    std::optional<winsim::DeviceNodeInfo> node = machine.Pnp().Device(pdo);
    if (node) bus.Unplug(pdo, false);
  }
  // A surprise-removed device whose last handle a test closed is removed
  // from the PnP queue, after the close returned.
  machine.Pnp().WaitIdle();
  if (!::testing::Test::HasFailure()) {
    EXPECT_FALSE(DriverLoaded()) << "the minidriver outlived its last device";
    bus.Unload();
  }
  Driver().Reset();
}

PDEVICE_OBJECT KsTest::PlugDevice(const BusDevice &device) {
  PDEVICE_OBJECT pdo = bus.Plug(device);
  plugged.push_back(pdo);
  return pdo;
}

winsim::DeviceNodeInfo KsTest::Node(PDEVICE_OBJECT pdo) {
  std::optional<winsim::DeviceNodeInfo> node = machine.Pnp().Device(pdo);
  EXPECT_TRUE(node.has_value());
  return node.value_or(winsim::DeviceNodeInfo{});
}

std::u16string Text(const WCHAR *text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

std::string Narrow(const std::u16string &text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

}  // namespace kstest
