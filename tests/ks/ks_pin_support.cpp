#include "ks_pin_support.h"

#include <cstring>
#include <mutex>

#include "winsim/ks/ks_filter.h"
#include "winsim/kernel/lock_order.h"
#include "winsim/ks/ks_objects.h"
#include "winsim/ks/ks_runtime.h"

namespace kstest {

const GUID kPinTestSet = {0x5d1b7a20, 0x3c44, 0x4f8e, {0x9a, 0x11, 0x70, 0x2e, 0x6b, 0x10, 0x4c, 0x01}};
const GUID kPinTestFormat = {0x5d1b7a21, 0x3c44, 0x4f8e, {0x9a, 0x11, 0x70, 0x2e, 0x6b, 0x10, 0x4c, 0x01}};

PinScript &Pins() {
  static PinScript script;
  return script;
}
std::vector<std::string> &PinLog() {
  static std::vector<std::string> log;
  return log;
}

namespace {

std::mutex g_logLock;
void Log(const std::string &entry) {
  std::lock_guard<std::mutex> guard(g_logLock);
  PinLog().push_back(entry);
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
  Log("Create " + std::to_string(pin->Id) + (winsim::LockOrder::Instance().HeldByCurrentThread() > 0 ? " locked" : ""));
  return Pins().create ? Pins().create(pin) : STATUS_SUCCESS;
}
NTSTATUS PinClose(PKSPIN pin, PIRP) {
  Log("Close " + std::to_string(pin->Id));
  return STATUS_SUCCESS;
}
NTSTATUS PinProcess(PKSPIN pin) {
  Log(KeGetCurrentIrql() == DISPATCH_LEVEL ? "Process at dispatch" : "Process");
  return Pins().process ? Pins().process(pin) : STATUS_PENDING;
}
NTSTATUS PinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  Log("State " + std::to_string(from) + "->" + std::to_string(to));
  return Pins().setState ? Pins().setState(pin, to, from) : STATUS_SUCCESS;
}
NTSTATUS PinSetFormat(PKSPIN, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE *, const KSATTRIBUTE_LIST *) {
  Log(old == nullptr ? "Format initial" : "Format change");
  return STATUS_SUCCESS;
}
void PinReset(PKSPIN) { Log("Reset"); }

NTSTATUS Intersect(PVOID, PIRP, PKSP_PIN pin, PKSDATARANGE client, PKSDATARANGE, ULONG size, PVOID data,
                   PULONG used) {
  Log("Intersect " + std::to_string(pin->PinId));
  *used = sizeof(KSDATAFORMAT);
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(data, client, sizeof(KSDATAFORMAT));
  return STATUS_SUCCESS;
}

NTSTATUS GetValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ULONG size = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (Pins().getInformation != 0) irp->IoStatus.Information = Pins().getInformation;
  return Pins().getValue ? Pins().getValue(data, size) : (*static_cast<ULONG *>(data) = 42, STATUS_SUCCESS);
}
NTSTATUS SetValue(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_SUCCESS; }
NTSTATUS GetPinName(PIRP irp, PKSIDENTIFIER request, PVOID) {
  Log("Name " + std::to_string(reinterpret_cast<PKSP_PIN>(request)->PinId));
  irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kTestItems[] = {
    DEFINE_KSPROPERTY_ITEM(0, GetValue, sizeof(KSPROPERTY), sizeof(ULONG), SetValue, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(1, GetValue, sizeof(KSP_PIN), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_ITEM kNameItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NAME, GetPinName, sizeof(KSP_PIN), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};
NTSTATUS Double(PIRP irp, PKSIDENTIFIER, PVOID data) {
  *static_cast<ULONG *>(data) *= 2;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
const KSMETHOD_ITEM kMethodItems[] = {
    DEFINE_KSMETHOD_ITEM(0, KSMETHOD_TYPE_MODIFY, Double, sizeof(KSMETHOD), sizeof(ULONG), nullptr)};
const KSMETHOD_SET kMethodSets[] = {DEFINE_KSMETHOD_SET(&kPinTestSet, 1, kMethodItems, 0, nullptr)};
const KSEVENT_ITEM kEventItems[] = {{0, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr}};
const KSEVENT_SET kEventSets[] = {{&kPinTestSet, 1, kEventItems}};
const KSPROPERTY_SET kFilterSets[] = {
    DEFINE_KSPROPERTY_SET(&kPinTestSet, SIZEOF_ARRAY(kTestItems), kTestItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kNameItems), kNameItems, 0, nullptr),
};
const KSAUTOMATION_TABLE kFilterAutomation = {DEFINE_KSAUTOMATION_PROPERTIES(kFilterSets),
                                              DEFINE_KSAUTOMATION_METHODS(kMethodSets),
                                              DEFINE_KSAUTOMATION_EVENTS(kEventSets)};
const KSAUTOMATION_TABLE kPinAutomation = {DEFINE_KSAUTOMATION_PROPERTIES_NULL, DEFINE_KSAUTOMATION_METHODS_NULL,
                                           DEFINE_KSAUTOMATION_EVENTS(kEventSets)};

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, PinProcess, PinReset, PinSetFormat, PinSetState,
                                     nullptr,   nullptr,  nullptr,    nullptr};

KSDATARANGE kRange = {{sizeof(KSDATARANGE), 0, 4, 0, {STATIC_KSDATAFORMAT_TYPE_STREAM}, {0, 0, 0, {0}}, {STATIC_KSDATAFORMAT_SPECIFIER_NONE}}};
const PKSDATARANGE kRanges[] = {&kRange};
const GUID kNodeType = {0x5d1b7a22, 0x3c44, 0x4f8e, {0x9a, 0x11, 0x70, 0x2e, 0x6b, 0x10, 0x4c, 0x01}};
const KSNODE_DESCRIPTOR kNodes[] = {DEFINE_NODE_DESCRIPTOR(nullptr, &kNodeType, nullptr)};
const KSTOPOLOGY_CONNECTION kConnections[] = {{KSFILTER_NODE, 0, 0, 1}, {0, 0, KSFILTER_NODE, 2}};

KSPIN_DESCRIPTOR_EX MakePin(KSPIN_DATAFLOW flow, ULONG flags, ULONG instances, const GUID *category) {
  KSPIN_DESCRIPTOR_EX pin{};
  pin.Dispatch = &kPinDispatch;
  pin.AutomationTable = &kPinAutomation;
  pin.PinDescriptor.DataRangesCount = 1;
  pin.PinDescriptor.DataRanges = kRanges;
  pin.PinDescriptor.DataFlow = flow;
  pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
  pin.PinDescriptor.Category = category;
  pin.Flags = flags;
  pin.InstancesPossible = instances;
  pin.IntersectHandler = Intersect;
  return pin;
}

KSPIN_DESCRIPTOR_EX g_pins[3];
KSFILTER_DESCRIPTOR g_filter;

const KSFILTER_DESCRIPTOR *Descriptor() {
  kRange.SubFormat = kPinTestFormat;
  g_pins[0] = MakePin(KSPIN_DATAFLOW_IN, KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, 1, &KSCATEGORY_RENDER);
  g_pins[1] = MakePin(KSPIN_DATAFLOW_OUT, 0, 2, &KSCATEGORY_CAPTURE);
  g_pins[2] = MakePin(KSPIN_DATAFLOW_OUT, 0, 0, nullptr);
  g_pins[2].Dispatch = nullptr;
  g_pins[2].IntersectHandler = nullptr;
  g_filter = {};
  g_filter.AutomationTable = &kFilterAutomation;
  g_filter.Version = KSFILTER_DESCRIPTOR_VERSION;
  g_filter.PinDescriptorsCount = 3;
  g_filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  g_filter.PinDescriptors = g_pins;
  g_filter.CategoriesCount = 4;
  g_filter.Categories = kFactoryCategories;
  g_filter.NodeDescriptorsCount = 1;
  g_filter.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  g_filter.NodeDescriptors = kNodes;
  g_filter.ConnectionsCount = 2;
  g_filter.Connections = kConnections;
  return &g_filter;
}

NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT g_fdo;

PIRP NewIrp(UCHAR major, PFILE_OBJECT file, PKEVENT done) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCompletionRoutine(irp, Done, done, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  stack->DeviceObject = g_fdo;  // as IoCallDriver leaves it
  irp->RequestorMode = UserMode;
  return irp;
}

}  // namespace

void SetPinFlags(ULONG id, ULONG flags) { g_pins[id].Flags = flags; }

std::vector<UCHAR> ConnectRequest(ULONG pinId, const GUID &subFormat) {
  KSPIN_CONNECT connect{};
  connect.Interface.Set = KSINTERFACESETID_Standard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = KSMEDIUMSETID_Standard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.PinId = pinId;
  connect.Priority = {KSPRIORITY_NORMAL, 1};
  KSDATAFORMAT format{};
  format.FormatSize = sizeof(format);
  format.SampleSize = 4;
  format.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  format.SubFormat = subFormat;
  format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  std::vector<UCHAR> bytes(sizeof(connect) + sizeof(format));
  std::memcpy(bytes.data(), &connect, sizeof(connect));
  std::memcpy(bytes.data() + sizeof(connect), &format, sizeof(format));
  return bytes;
}

void PinTest::SetUp() {
  KsTest::SetUp();
  Pins() = {};
  PinLog().clear();
  static PKSFILTERFACTORY created;
  created = nullptr;
  Driver().script.postStart = [](PKSDEVICE device) {
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, Descriptor(), const_cast<PWSTR>(u"GLOBAL"),
                                            nullptr, 0, nullptr, nullptr, &created);
    KsReleaseDevice(device);
    return status;
  };
  PlugDevice();
  ASSERT_EQ(winsim::ks::OpenFilter(created, &filter), STATUS_SUCCESS);
  g_fdo = KsFilterGetDevice(filter)->FunctionalDeviceObject;
}

void PinTest::TearDown() {
  for (PKSPIN pin = nullptr; filter != nullptr;) {
    pin = static_cast<PKSPIN>(winsim::ks::FirstChild(winsim::ks::HeaderOf(filter)) != nullptr
                                  ? winsim::ks::PublicOf(winsim::ks::FirstChild(winsim::ks::HeaderOf(filter)))
                                  : nullptr);
    if (pin == nullptr) break;
    winsim::ks::ClosePin(pin);
  }
  if (filter != nullptr) winsim::ks::CloseFilter(filter);
  for (FILE_OBJECT *file : files) delete file;
  KsTest::TearDown();
}

Result PinTest::Create(const std::vector<UCHAR> &request, PKSPIN *pin) {
  auto *file = new FILE_OBJECT{};
  files.push_back(file);
  file->FileName.Buffer = reinterpret_cast<PWCH>(const_cast<UCHAR *>(request.data()));
  file->FileName.Length = file->FileName.MaximumLength = static_cast<USHORT>(request.size());
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = NewIrp(IRP_MJ_CREATE, file, &done);
  winsim::ks::CreatePin(filter, irp, pin);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  Result result{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  return result;
}

Result PinTest::Control(PVOID object, ULONG code, const void *in, ULONG inSize, void *out, ULONG outSize,
                        PFILE_OBJECT file) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = NewIrp(IRP_MJ_DEVICE_CONTROL, file != nullptr ? file : &filterFile, &done);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inSize;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outSize;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(in);
  irp->UserBuffer = out;
  winsim::ks::DispatchDeviceControl(object, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  Result result{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  return result;
}

Result PinTest::Property(PVOID object, const GUID &set, ULONG id, ULONG flags, void *out, ULONG outSize,
                         const void *extra, ULONG extraSize) {
  std::vector<UCHAR> request(sizeof(KSPROPERTY) + extraSize);
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  std::memcpy(request.data(), &property, sizeof(property));
  if (extraSize > 0) std::memcpy(request.data() + sizeof(property), extra, extraSize);
  return Control(object, IOCTL_KS_PROPERTY, request.data(), static_cast<ULONG>(request.size()), out, outSize);
}

Result PinTest::SetState(PKSPIN pin, KSSTATE state) {
  return Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &state,
                  sizeof(state));
}

void PinTest::Send(Stream *stream, PVOID pin, ULONG code, KSSTREAM_HEADER *headers, ULONG count, PFILE_OBJECT file) {
  KeInitializeEvent(&stream->done, NotificationEvent, FALSE);
  stream->irp = NewIrp(IRP_MJ_DEVICE_CONTROL, file != nullptr ? file : &filterFile, &stream->done);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(stream->irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.OutputBufferLength = count * sizeof(KSSTREAM_HEADER);
  stream->irp->UserBuffer = headers;
  stream->sent = winsim::ks::DispatchDeviceControl(pin, stream->irp);
}

void PinTest::Free(Stream *stream) {
  KeWaitForSingleObject(&stream->done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(stream->irp);
}

}  // namespace kstest
