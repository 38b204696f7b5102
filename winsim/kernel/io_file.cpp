#include "winsim/kernel/io_file.h"

#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_symlinks.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/pool.h"

namespace winsim {
namespace {

// The I/O manager's part of a file object; the FILE_OBJECT comes first so
// the two convert by a cast.
struct FileRecord {
  FILE_OBJECT file{};
  volatile LONG handles = 0;
  volatile LONG references = 0;
  PDEVICE_OBJECT target = nullptr;  // top of the stack, referenced
  bool counted = false;             // told to the PnP manager as an open handle
  std::vector<WCHAR> name;          // FileName's buffer
};
static_assert(offsetof(FileRecord, file) == 0, "a file object converts to its record by a cast");

struct LiveFiles {
  std::mutex lock;
  std::unordered_set<PFILE_OBJECT> files;
};

LiveFiles &Live() {
  static LiveFiles live;
  return live;
}

FileRecord *RecordOf(PFILE_OBJECT file, const char *api) {
  if (!IsLiveFileObject(file)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " of " + Hex(file) + ", which is not a live file object",
             std::source_location::current());
  }
  return reinterpret_cast<FileRecord *>(file);
}

struct SyncSend {
  KEVENT done;
  IO_STATUS_BLOCK status;
};

void FinishSync(PIRP irp, void *context) {
  auto *send = static_cast<SyncSend *>(context);
  send->status = irp->IoStatus;
  IrpTable::Instance().Erase(irp);
  Pool::Instance().Free(irp, kIrpTag, true, std::source_location::current());
  KeSetEvent(&send->done, IO_NO_INCREMENT, FALSE);
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = device;
  ObReferenceObject(bottom);
  for (int depth = 0; depth < 64; ++depth) {
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(bottom);
    if (lower == nullptr) break;
    ObDereferenceObject(bottom);
    bottom = lower;
  }
  ObDereferenceObject(bottom);
  return bottom;
}

void FreeRecord(FileRecord *record) {
  PDEVICE_OBJECT device = record->file.DeviceObject;
  PFILE_OBJECT related = record->file.RelatedFileObject;
  bool counted = record->counted;
  {
    std::lock_guard<std::mutex> guard(Live().lock);
    Live().files.erase(&record->file);
  }
  ObDereferenceObject(record->target);
  delete record;
  if (related != nullptr) DereferenceFileObject(related);
  // Last: after a surprise removal this may let REMOVE_DEVICE go ahead.
  if (counted) {
    PnpManager::NoteHandleClosed(BottomOf(device));
  }
}

}  // namespace

bool IsLiveFileObject(PFILE_OBJECT file) {
  std::lock_guard<std::mutex> guard(Live().lock);
  return Live().files.count(file) != 0;
}

size_t LiveFileObjectCount() {
  std::lock_guard<std::mutex> guard(Live().lock);
  return Live().files.size();
}

PDEVICE_OBJECT FileTargetDevice(PFILE_OBJECT file) { return RecordOf(file, "FileTargetDevice")->target; }

NTSTATUS SendFileIrpAndWait(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode, ACCESS_MASK access) {
  RequirePassive("the I/O manager's file request", std::source_location::current());
  FileRecord *record = RecordOf(file, "a file request");
  PIRP irp = IoAllocateIrp(record->target->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  SyncSend send{};
  KeInitializeEvent(&send.done, NotificationEvent, FALSE);
  IrpTable::Instance().Insert(irp, IrpRecord{.fromPool = true, .threaded = true, .finish = FinishSync,
                                             .finishContext = &send});
  irp->RequestorMode = mode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Flags = major == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  if (major == IRP_MJ_CREATE) {
    stack->Parameters.Create.Options = static_cast<ULONG>(FILE_OPEN) << 24;
    stack->Parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    (void)access;
  }
  ReferenceFileObject(file);
  NTSTATUS status = IoCallDriver(record->target, irp);
  (void)status;  // pending or not, the completion tells
  KeWaitForSingleObject(&send.done, Executive, KernelMode, FALSE, nullptr);
  // The create's reference is the one the caller's handle will hold.
  if (major != IRP_MJ_CLOSE) DereferenceFileObject(file);
  return send.status.Status;
}

NTSTATUS OpenFileObject(PDEVICE_OBJECT device, const std::u16string &name, PFILE_OBJECT related,
                        KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file) {
  RequirePassive("opening a file", std::source_location::current());
  *file = nullptr;
  if (related != nullptr) device = RecordOf(related, "opening a file relative to")->file.DeviceObject;
  if (device == nullptr || !IsLiveDevice(device)) return STATUS_NO_SUCH_DEVICE;
  if (name.size() * sizeof(WCHAR) > 0xFFFE) return STATUS_OBJECT_NAME_INVALID;
  auto *record = new FileRecord;
  record->file.Type = IO_TYPE_FILE;
  record->file.Size = sizeof(FILE_OBJECT);
  record->file.DeviceObject = device;
  record->file.RelatedFileObject = related;
  record->file.ReadAccess = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
  record->file.WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  record->name.assign(name.begin(), name.end());
  record->file.FileName.Buffer = record->name.empty() ? nullptr : record->name.data();
  record->file.FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  record->file.FileName.MaximumLength = record->file.FileName.Length;
  KeInitializeEvent(&record->file.Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&record->file.Event, NotificationEvent, FALSE);
  InitializeListHead(&record->file.IrpList);
  record->target = IoGetAttachedDeviceReference(device);
  record->references = 1;
  if (related != nullptr) ReferenceFileObject(related);
  {
    std::lock_guard<std::mutex> guard(Live().lock);
    Live().files.insert(&record->file);
  }
  NTSTATUS status = SendFileIrpAndWait(&record->file, IRP_MJ_CREATE, mode, access);
  if (!NT_SUCCESS(status) || status == STATUS_PENDING) {
    // A failed create is forgotten without cleanup or close, as on Windows.
    FreeRecord(record);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  record->handles = 1;
  record->counted = true;
  PnpManager::NoteHandleOpened(BottomOf(device));
  *file = &record->file;
  return STATUS_SUCCESS;
}

namespace {

// \??\GLOBALROOT\Device\<name>[\<file name>]: a named device object.
NTSTATUS OpenGlobalRoot(const std::u16string &path, KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file) {
  const std::u16string prefix = u"\\??\\GLOBALROOT";
  size_t end = path.find(u'\\', prefix.size() + 8);
  std::u16string deviceName = path.substr(prefix.size(), end == std::u16string::npos ? end : end - prefix.size());
  PDEVICE_OBJECT device = FindNamedDevice(deviceName);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenFileObject(device, end == std::u16string::npos ? u"" : path.substr(end), nullptr, mode, access, file);
}

// \??\<link>[\<file name>]: a symbolic link some driver made to its named
// device. A link whose device is gone names nothing.
NTSTATUS OpenDosDevice(const std::u16string &path, KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file) {
  std::u16string target;
  std::u16string rest;
  if (!ResolveDosDevice(path, &target, &rest)) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT device = FindNamedDevice(target);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenFileObject(device, rest, nullptr, mode, access, file);
}

}  // namespace

NTSTATUS OpenDevicePath(const std::u16string &path, KPROCESSOR_MODE mode, ACCESS_MASK access, PFILE_OBJECT *file) {
  *file = nullptr;
  if (pnp::Upcase(path).rfind(u"\\??\\GLOBALROOT\\DEVICE\\", 0) == 0) return OpenGlobalRoot(path, mode, access, file);
  PnpManager *manager = PnpManager::Active();
  if (manager == nullptr) return OpenDosDevice(path, mode, access, file);
  const std::u16string upper = pnp::Upcase(path);
  for (const DeviceInterfaceInfo &info : manager->Interfaces(nullptr, true)) {
    if (info.pdo == nullptr) continue;
    // The link's name ends before the reference string; what follows in
    // the path is the file name the stack is opened with.
    std::u16string link = info.symbolicLink;
    if (!info.referenceString.empty()) link.resize(link.size() - info.referenceString.size() - 1);
    link = pnp::Upcase(link);
    if (upper.compare(0, link.size(), link) != 0) continue;
    if (upper.size() > link.size() && upper[link.size()] != u'\\') continue;
    return OpenFileObject(info.pdo, path.substr(link.size()), nullptr, mode, access, file);
  }
  return OpenDosDevice(path, mode, access, file);
}

void ReferenceFileObject(PFILE_OBJECT file) {
  InterlockedIncrement(&RecordOf(file, "referencing")->references);
}

void DereferenceFileObject(PFILE_OBJECT file) {
  FileRecord *record = RecordOf(file, "dereferencing");
  LONG left = InterlockedDecrement(&record->references);
  if (left < 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "file object " + Hex(file) + " dereferenced more often than referenced", std::source_location::current());
  }
  if (left != 0) return;
  if (record->counted) SendFileIrpAndWait(file, IRP_MJ_CLOSE, KernelMode, 0);
  FreeRecord(record);
}

bool DereferenceFileObjectUnlessLast(PFILE_OBJECT file) {
  FileRecord *record = RecordOf(file, "dereferencing");
  LONG current = __atomic_load_n(&record->references, __ATOMIC_ACQUIRE);  // others change it meanwhile
  while (current > 1) {
    if (__atomic_compare_exchange_n(&record->references, &current, current - 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      return true;
    }
  }
  return false;
}

void ForgetFileObjects() {
  std::unordered_set<PFILE_OBJECT> files;
  {
    std::lock_guard<std::mutex> guard(Live().lock);
    files.swap(Live().files);
  }
  for (PFILE_OBJECT file : files) delete reinterpret_cast<FileRecord *>(file);
}

void CloseFileHandle(PFILE_OBJECT file) {
  FileRecord *record = RecordOf(file, "closing a handle");
  LONG left = InterlockedDecrement(&record->handles);
  if (left < 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "file object " + Hex(file) + " closed more often than opened",
             std::source_location::current());
  }
  if (left != 0) return;
  SendFileIrpAndWait(file, IRP_MJ_CLEANUP, KernelMode, 0);
  DereferenceFileObject(file);
}

}  // namespace winsim
