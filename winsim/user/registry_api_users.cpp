// Which user each simulated process runs as, and the handles of the
// predefined keys.
#include <map>
#include <mutex>

#include "winsim/kernel/registry_handles.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/registry_api.h"

namespace winsim {
namespace {

struct Users {
  std::mutex lock;
  std::map<uint32_t, std::string> byProcess;
};

Users &TheUsers() {
  static Users users;
  return users;
}

uint32_t CallingProcess() {
  SimThread *thread = Scheduler::Current();
  return thread != nullptr ? thread->ProcessId() : kSystemProcessId;
}

NTSTATUS OpenPath(const std::u16string &path, bool createMissing, RegKeyRef *key) {
  if (!createMissing) return SystemRegistry().OpenKey(nullptr, path, key);
  RegCreateOptions options;
  options.withParents = true;
  ULONG disposition = 0;
  return SystemRegistry().CreateKey(nullptr, path, options, key, &disposition);
}

}  // namespace

void SetProcessUser(uint32_t processId, const std::string &sid) {
  std::lock_guard<std::mutex> guard(TheUsers().lock);
  TheUsers().byProcess[processId] = sid;
}

std::string ProcessUserSid(uint32_t processId) {
  std::lock_guard<std::mutex> guard(TheUsers().lock);
  auto it = TheUsers().byProcess.find(processId);
  return it != TheUsers().byProcess.end() ? it->second : kDefaultUserSid;
}

void ResetProcessUsers() {
  std::lock_guard<std::mutex> guard(TheUsers().lock);
  TheUsers().byProcess.clear();
}

LSTATUS ResolveUserKey(HKEY key, RegKeyRef *resolved, ACCESS_MASK *access) {
  const auto value = static_cast<ULONG_PTR>(reinterpret_cast<uintptr_t>(key));
  if (value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) && value <= reinterpret_cast<ULONG_PTR>(HKEY_USERS)) {
    std::u16string path;
    bool createMissing = false;
    if (key == HKEY_LOCAL_MACHINE) path = u"\\Registry\\Machine";
    if (key == HKEY_USERS) path = u"\\Registry\\User";
    if (key == HKEY_CLASSES_ROOT) path = u"\\Registry\\Machine\\SOFTWARE\\Classes";
    if (key == HKEY_CURRENT_USER) {
      path = u"\\Registry\\User\\" + WidenAnsi(ProcessUserSid(CallingProcess()));
      createMissing = true;
    }
    *access = KEY_ALL_ACCESS;
    return RegistryError(OpenPath(path, createMissing, resolved));
  }
  auto open = HandleTable::Instance().LookupAs<UserRegistryKey>(static_cast<HANDLE>(key));
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  *resolved = open->Key();
  *access = open->Access();
  return ERROR_SUCCESS;
}

HKEY InsertUserKey(RegKeyRef key, ACCESS_MASK desiredAccess) {
  auto object = std::make_shared<UserRegistryKey>(std::move(key), MapKeyAccess(desiredAccess));
  return static_cast<HKEY>(HandleTable::Instance().Insert(std::move(object)));
}

LSTATUS RegistryError(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case STATUS_KEY_DELETED:
      return ERROR_KEY_DELETED;
    case STATUS_CANNOT_DELETE:
    case STATUS_ACCESS_DENIED:
      return ERROR_ACCESS_DENIED;
    case STATUS_CHILD_MUST_BE_VOLATILE:
      return ERROR_CHILD_MUST_BE_VOLATILE;
    case STATUS_NO_MORE_ENTRIES:
      return ERROR_NO_MORE_ITEMS;
    case STATUS_OBJECT_NAME_INVALID:
      return ERROR_BADKEY;
    default:
      return static_cast<LSTATUS>(RtlNtStatusToDosError(status));
  }
}

std::u16string WidenAnsi(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string NarrowToAnsi(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return narrow;
}

}  // namespace winsim
