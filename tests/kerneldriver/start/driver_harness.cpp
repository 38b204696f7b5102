#include "driver_harness.h"

#include <wdm.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "kerneldriver/qavaudio_inf.h"
#include "winsim/ks/ks_events.h"
#include "winsim/ks/ks_filter.h"

namespace dstest {

RecordingFunction::RecordingFunction(std::shared_ptr<AudioDevice> device) : m_device(std::move(device)) {
  m_device->SetDataReadyCallback([this](uint8_t endpoint) { NotifyDataReady(endpoint); });
}

winsim::usb::TransferOutcome RecordingFunction::Control(const SetupPacket &setup, uint8_t *data,
                                                        winsim::usb::VTime now) {
  RecordedRequest request{setup, {}};
  if ((setup.bmRequestType & winsim::usb::kRequestDirectionIn) == 0 && data != nullptr) {
    request.outData.assign(data, data + setup.wLength);
  }
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_requests.push_back(request);
  }
  return m_device->Control(setup, data, now);
}

std::vector<RecordedRequest> RecordingFunction::Requests() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_requests;
}

size_t RecordingFunction::RequestCount() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_requests.size();
}

std::optional<winsim::ParallelOptions> &SuiteParallelMode() {
  static std::optional<winsim::ParallelOptions> options;
  return options;
}

bool &SuiteTraceLogger() {
  static bool present = true;
  return present;
}

winsim::MachineOptions TestMachineOptions() {
  winsim::MachineOptions options;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  options.parallel = SuiteParallelMode() ? SuiteParallelMode() : winsim::ParallelOptionsFromEnvironment();
  if (SuiteTraceLogger()) options.traceLogger = winsim::TraceLoggerOptions{};
  return options;
}

std::u16string HardwareId(const DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

DeviceDefinition Build(const DeviceModel &model) {
  auto built = winsim::devices::BuildDevice(model);
  EXPECT_TRUE(built.Ok()) << model.name << ": " << built.detail;
  return built.definition;
}

const DeviceModel &Model(const char *name) {
  const DeviceModel *model = winsim::devices::FindModel(name);
  EXPECT_NE(model, nullptr) << name;
  return *model;
}

bool IsSetCur(const SetupPacket &setup, uint8_t entity, uint8_t selector) {
  return setup.bmRequestType == 0x21 && setup.bRequest == 0x01 && (setup.wValue >> 8) == selector &&
         (setup.wIndex >> 8) == entity;
}

bool IsSetInterface(const SetupPacket &setup) { return setup.bmRequestType == 0x01 && setup.bRequest == 0x0B; }

uint32_t Le32(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 4) return 0;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

ClientFilter::ClientFilter(PKSFILTERFACTORY factory) {
  m_set = {&KSEVENTSETID_UacPrivate, kEvents, m_items};
  for (ULONG id = 0; id < kEvents; ++id) {
    m_items[id] = {id, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr};
    Entry &e = m_entries[id];
    KeInitializeEvent(&e.event, NotificationEvent, FALSE);
    e.entry.NotificationType = KSEVENTF_EVENT_OBJECT;
    e.entry.Object = &e.event;
    e.entry.EventSet = &m_set;
    e.entry.EventItem = &m_items[id];
    e.entry.Flags = KSEVENT_ENTRY_BUFFERED;
    KeInitializeSpinLock(&e.buffer.DpcItem.AccessLock);
    InitializeListHead(&e.buffer.BufferList);
    e.entry.BufferItem = &e.buffer;
  }
  EXPECT_EQ(winsim::ks::OpenFilter(factory, &m_filter), STATUS_SUCCESS);
  if (m_filter == nullptr) return;
  for (Entry &e : m_entries) KsFilterAddEvent(m_filter, &e.entry);
}

ClientFilter::~ClientFilter() {
  Close();
  for (Entry &e : m_entries) winsim::ks::DiscardBufferedData(&e.entry);
}

void ClientFilter::Close() {
  if (m_filter == nullptr) return;
  winsim::ks::CloseFilter(m_filter);
  m_filter = nullptr;
}

std::vector<std::vector<uint8_t>> ClientFilter::Take(ULONG eventId) {
  std::vector<std::vector<uint8_t>> generations;
  std::vector<UCHAR> data;
  while (eventId < kEvents && winsim::ks::TakeBufferedData(&m_entries[eventId].entry, &data)) {
    generations.emplace_back(data.begin(), data.end());
  }
  return generations;
}

void DriverStartTest::Plug(DeviceDefinition built, const std::function<void(FaultKnobs &)> &faults) {
  definition = built;
  if (!installed) {
    // A model the INF does not list is pointed at it by hand ("Have Disk"),
    // so that the driver's own checks meet it.
    const auto result = machine.InstallPackage(qav::kQavAudioInfName, qav::QavAudioInfText(),
                                               {{u"QavAudio", DriverEntry}}, {HardwareId(definition.model)});
    ASSERT_TRUE(result.Ok()) << result.Describe();
    installed = true;
  }
  device = std::make_shared<AudioDevice>(definition);
  if (faults) device->EditFaults(faults);
  bus = std::make_shared<RecordingFunction>(device);
  handle = machine.PlugDevice(bus);
  machine.Pnp().WaitIdle();
  pdo = nullptr;
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) pdo = info.pdo;
  }
  ASSERT_NE(pdo, nullptr);
}

void DriverStartTest::Plug(const char *model, const std::function<void(FaultKnobs &)> &faults) {
  Plug(Build(Model(model)), faults);
}

void DriverStartTest::Unplug(bool surprise) {
  if (!handle.Valid()) return;
  machine.UnplugDevice(handle, surprise);
  machine.Pnp().WaitIdle();
  handle = {};
  pdo = nullptr;
}

void DriverStartTest::Replug() {
  Unplug();
  Plug(definition);
}

void DriverStartTest::TearDown() { Unplug(); }

winsim::DeviceNodeInfo DriverStartTest::Node() {
  auto node = machine.Pnp().Device(pdo);
  return node ? *node : winsim::DeviceNodeInfo{};
}

UsbAudioDevice *DriverStartTest::Context() const {
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PKSDEVICE ksDevice = top != pdo ? KsGetDeviceForDeviceObject(top) : nullptr;
  ObDereferenceObject(top);
  return AudioDeviceFromKs(ksDevice);
}

UsbAudioDevice &DriverStartTest::Ctx() const {
  UsbAudioDevice *context = Context();
  if (context == nullptr) throw std::runtime_error("the device has no driver context");
  return *context;
}

namespace {

HANDLE OpenKey(const std::u16string &path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(path.c_str()));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  return NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes)) ? key : nullptr;
}

}  // namespace

std::optional<uint32_t> DriverStartTest::ReadDriverDword(const char16_t *name) {
  HANDLE key = OpenKey(Node().driverKey);
  if (key == nullptr) return std::nullopt;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(name));
  uint8_t buffer[64] = {};
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &needed);
  ZwClose(key);
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (!NT_SUCCESS(status) || info->Type != REG_DWORD) return std::nullopt;
  uint32_t value;
  std::memcpy(&value, info->Data, sizeof value);
  return value;
}

void DriverStartTest::WriteDriverDword(const char16_t *name, uint32_t value) {
  HANDLE key = OpenKey(Node().driverKey);
  ASSERT_NE(key, nullptr);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(name));
  EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  ZwClose(key);
}

}  // namespace dstest
