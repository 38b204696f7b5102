// The I/O manager's record of every IRP it handed out. Entry points look an
// IRP up here before touching its memory, so completing, cancelling or
// freeing an IRP that was already freed is a bug check naming the caller's
// line instead of a use of freed memory.
#pragma once
#include <wdm.h>

#include <mutex>
#include <source_location>
#include <unordered_map>
#include <unordered_set>

#include "winsim/kernel/bugcheck.h"

namespace winsim {

struct IrpRecord {
  bool fromPool = false;   // IoAllocateIrp (IoFreeIrp may free it), not caller memory
  bool threaded = false;   // IoBuild*Request: the I/O manager finishes and frees it
  ULONG outputLength = 0;  // size of the originator's buffered output (threaded IRPs)
  // IRPs the I/O manager sends for a file object or a user-mode request
  // (threaded): finish takes over once the IRP completed past its last
  // location, and must erase and free it.
  void (*finish)(PIRP irp, void *context) = nullptr;
  void *finishContext = nullptr;
  // A user-mode request reaches the driver with copies of the caller's
  // buffers; Windows hands a METHOD_NEITHER driver the caller's own
  // addresses, by which KS tells a caller's structures apart (the
  // KSEVENTDATA a disable names). These pair each copy with its original.
  PVOID inputCopy = nullptr;
  PVOID callerInput = nullptr;
  PVOID outputCopy = nullptr;
  PVOID callerOutput = nullptr;
};

class IrpTable {
 public:
  static IrpTable &Instance();

  void Insert(PIRP irp, const IrpRecord &record);
  // Erases a live IRP; it is remembered as freed until its address is reused.
  void Erase(PIRP irp);
  void Reset();

  enum class State { Live, Freed, Unknown };
  State Find(PIRP irp, IrpRecord *record) const;

 private:
  mutable std::mutex m_lock;
  std::unordered_map<PIRP, IrpRecord> m_live;
  std::unordered_set<PIRP> m_freed;
};

// The record of a live IRP; otherwise a bug check with `code` for a freed IRP
// (and DRIVER_VERIFIER_DETECTED_VIOLATION for an address that never was one).
IrpRecord RequireLiveIrp(PIRP irp, const char *api, BugCode code, const std::source_location &site);

// The caller's address behind `address` when it is one of the copies a
// live user-mode request carries; otherwise `address` itself.
PVOID CallerAddress(PIRP irp, PVOID address);

// Initializes an IRP of packetSize bytes with stackSize locations, all
// locations free (CurrentLocation = stackSize + 1).
void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize);

}  // namespace winsim
