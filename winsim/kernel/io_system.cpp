#include "winsim/kernel/io_system.h"

#include "winsim/kernel/io_cancel.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_driver.h"
#include "winsim/kernel/io_file.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_symlinks.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/ke_dpc_timer.h"

namespace winsim {

namespace {

void ResetTables() {
  ForgetFileObjects();
  IrpTable::Instance().Reset();
  ResetDeviceTable();
  ResetSymbolicLinks();
  ResetDriverTable();
  ResetCancelSpinLock();
}

}  // namespace

void StartIoSystem(Scheduler &scheduler) {
  ResetTables();
  SystemWorkers::Instance().Start(scheduler);
  StartDpcThread(scheduler);
  // Boot ends when every new thread is parked in its first wait, so nothing
  // of it still runs when the Machine's creator goes on.
  scheduler.WaitUntil([] { return true; }, kInfinite);
}

void StopIoSystem() {
  StopDpcThread();
  SystemWorkers::Instance().Stop();
  ResetTables();
}

}  // namespace winsim
