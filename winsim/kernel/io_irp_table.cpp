#include "winsim/kernel/io_irp_table.h"

#include <cstring>
#include <string>

#include "winsim/kernel/io_rules.h"

namespace winsim {

IrpTable &IrpTable::Instance() {
  static IrpTable table;
  return table;
}

void IrpTable::Insert(PIRP irp, const IrpRecord &record) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_freed.erase(irp);
  m_live[irp] = record;
}

void IrpTable::Erase(PIRP irp) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_live.erase(irp) != 0) m_freed.insert(irp);
}

void IrpTable::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_live.clear();
  m_freed.clear();
}

IrpTable::State IrpTable::Find(PIRP irp, IrpRecord *record) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_live.find(irp);
  if (it != m_live.end()) {
    if (record != nullptr) *record = it->second;
    return State::Live;
  }
  return m_freed.count(irp) != 0 ? State::Freed : State::Unknown;
}

IrpRecord RequireLiveIrp(PIRP irp, const char *api, BugCode code, const std::source_location &site) {
  IrpRecord record;
  switch (IrpTable::Instance().Find(irp, &record)) {
    case IrpTable::State::Live:
      return record;
    case IrpTable::State::Freed:
      BugCheck(code, std::string(api) + " of IRP " + Hex(irp) + " after it was freed", site);
    case IrpTable::State::Unknown:
      break;
  }
  BugCheck(BugCode::kDriverVerifierDetectedViolation,
           std::string(api) + " of " + Hex(irp) + ", which is not an IRP the I/O manager knows", site);
}

PVOID CallerAddress(PIRP irp, PVOID address) {
  IrpRecord record;
  if (address == nullptr || IrpTable::Instance().Find(irp, &record) != IrpTable::State::Live) return address;
  if (address == record.inputCopy) return record.callerInput;
  if (address == record.outputCopy) return record.callerOutput;
  return address;
}

void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  std::memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

}  // namespace winsim
