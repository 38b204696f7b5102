// User-mode handles to devices: a file object of the I/O manager, and the
// requests in flight on it from user mode.
#pragma once
#include <windows.h>
#include <wdm.h>

#include <memory>

#include "winsim/sched/scheduler.h"
#include "winsim/user/handles.h"

namespace winsim {

class UserFile : public UserObject {
 public:
  UserFile(PFILE_OBJECT file, bool overlapped) : m_file(file), m_overlapped(overlapped) {}
  const char *TypeName() const override { return "File"; }
  // Signalled when a request without an event of its own completes.
  DISPATCHER_HEADER *Waitable() override { return &m_file->Event.Header; }
  PFILE_OBJECT File() const { return m_file; }
  bool Overlapped() const { return m_overlapped; }

 private:
  PFILE_OBJECT m_file;
  bool m_overlapped;
};

// Sends IRP_MJ_DEVICE_CONTROL from user mode: buffers cross as copies of
// exactly the sizes given, the request runs with RequestorMode UserMode.
// Returns the status the caller sees: STATUS_PENDING when an overlapped
// request is still in flight; otherwise the final status, with *information
// the byte count. Sets nothing of the caller's last error.
NTSTATUS SendUserDeviceControl(const std::shared_ptr<UserFile> &file, ULONG code, PVOID input, ULONG inputLength,
                               PVOID output, ULONG outputLength, LPOVERLAPPED overlapped, ULONG_PTR *information);

// Waits until every file close deferred to a thread of its own (the last
// reference dropped by a completing user request) has been sent. The machine
// calls it before it takes down the PnP manager those closes report to.
void WaitForDeferredCloses();

// Cancels the calling thread's requests on the file (all files for null) and
// waits until they completed.
void CancelThreadRequests(SimThread *thread, PFILE_OBJECT file);

// Requests from user mode in flight on the machine.
size_t UserRequestsInFlight();

}  // namespace winsim
