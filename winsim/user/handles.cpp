#include "winsim/user/handles.h"

namespace winsim {

HandleTable &HandleTable::Instance() {
  static HandleTable table;
  return table;
}

HANDLE HandleTable::Insert(std::shared_ptr<UserObject> object) {
  std::lock_guard<std::mutex> guard(m_lock);
  ULONG_PTR value = m_next;
  m_next += 4;  // handle values are multiples of four, as on Windows
  m_handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<UserObject> HandleTable::Lookup(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == m_handles.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle) {
  std::shared_ptr<UserObject> last;  // destroyed outside the lock
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == m_handles.end()) return false;
  last = std::move(it->second);
  m_handles.erase(it);
  return true;
}

size_t HandleTable::OpenHandles() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_handles.size();
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
  std::map<ULONG_PTR, std::shared_ptr<UserObject>> old;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    old.swap(m_handles);
    m_names.clear();
    m_next = 0x100;
  }
}

}  // namespace winsim
