// User-mode handle tables of the simulated machine. Objects are shared: a
// handle holds a reference, and so does every wait in progress on it, so
// closing a handle another thread waits on is safe.
//
// Each simulated process has its own table: a handle belongs to the process
// of the thread that created it, and a user-mode thread of another process
// finds nothing behind it. Handle values are never reused across processes,
// so a value carried over by mistake fails instead of reaching another
// process's object. Kernel threads (system workers, DPCs) see every
// process's handles, as kernel code attached to the process would.
#pragma once
#include <windows.h>
#include <nt/ke.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace winsim {

class UserObject {
 public:
  virtual ~UserObject() = default;
  virtual const char *TypeName() const = 0;
  // The dispatcher object a wait on this handle waits for; null when the
  // object cannot be waited on.
  virtual DISPATCHER_HEADER *Waitable() { return nullptr; }
};

class HandleTable {
 public:
  static HandleTable &Instance();

  HANDLE Insert(std::shared_ptr<UserObject> object);
  std::shared_ptr<UserObject> Lookup(HANDLE handle) const;
  template <class T>
  std::shared_ptr<T> LookupAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Lookup(handle));
  }
  bool Close(HANDLE handle);
  size_t OpenHandles() const;
  // Handles of one process.
  size_t OpenHandles(uint32_t processId) const;
  // Named objects (events, semaphores) share one namespace.
  std::shared_ptr<UserObject> FindNamed(const std::string &name) const;
  void Name(const std::string &name, const std::shared_ptr<UserObject> &object);
  // Closes everything (a new machine starts with an empty table).
  void Reset();

 private:
  mutable std::mutex m_lock;
  struct Entry {
    std::shared_ptr<UserObject> object;
    uint32_t processId = 0;
  };
  const Entry *FindLocked(HANDLE handle) const;

  std::map<ULONG_PTR, Entry> m_handles;
  std::map<std::string, std::weak_ptr<UserObject>> m_names;
  ULONG_PTR m_next = 0x100;
};

}  // namespace winsim
