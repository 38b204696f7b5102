#include "winsim/user/handles.h"

#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

constexpr uint32_t kNoProcess = 0;

// The process whose table the calling thread uses; kNoProcess for kernel
// threads and threads winsim does not know, which see every table.
uint32_t CallerProcess() {
  SimThread *thread = Scheduler::Current();
  if (thread == nullptr) return kNoProcess;
  if (thread->Kind() != ThreadKind::Test && thread->Kind() != ThreadKind::User) return kNoProcess;
  return thread->ProcessId();
}

}  // namespace

HandleTable &HandleTable::Instance() {
  static HandleTable table;
  return table;
}

HANDLE HandleTable::Insert(std::shared_ptr<UserObject> object) {
  std::lock_guard<std::mutex> guard(m_lock);
  ULONG_PTR value = m_next;
  m_next += 4;  // handle values are multiples of four, as on Windows
  m_handles[value] = Entry{std::move(object), CallerProcess()};
  return reinterpret_cast<HANDLE>(value);
}

const HandleTable::Entry *HandleTable::FindLocked(HANDLE handle) const {
  auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == m_handles.end()) return nullptr;
  uint32_t caller = CallerProcess();
  if (caller != kNoProcess && it->second.processId != kNoProcess && it->second.processId != caller) return nullptr;
  return &it->second;
}

std::shared_ptr<UserObject> HandleTable::Lookup(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const Entry *entry = FindLocked(handle);
  return entry == nullptr ? nullptr : entry->object;
}

bool HandleTable::Close(HANDLE handle) {
  std::shared_ptr<UserObject> last;  // destroyed outside the lock
  std::lock_guard<std::mutex> guard(m_lock);
  if (FindLocked(handle) == nullptr) return false;
  auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  last = std::move(it->second.object);
  m_handles.erase(it);
  return true;
}

size_t HandleTable::OpenHandles() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_handles.size();
}

size_t HandleTable::OpenHandles(uint32_t processId) const {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t count = 0;
  for (const auto &[value, entry] : m_handles) count += entry.processId == processId ? 1 : 0;
  return count;
}

std::shared_ptr<UserObject> HandleTable::FindNamed(const std::string &name) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_names.find(name);
  return it == m_names.end() ? nullptr : it->second.lock();
}

void HandleTable::Name(const std::string &name, const std::shared_ptr<UserObject> &object) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_names[name] = object;
}

void HandleTable::Reset() {
  std::map<ULONG_PTR, Entry> old;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    old.swap(m_handles);
    m_names.clear();
    m_next = 0x100;
  }
}

}  // namespace winsim
