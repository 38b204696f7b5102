#include "winsim/user/user_state.h"

#include "winsim/user/host_modules.h"
#include "winsim/user/message_box.h"
#include "winsim/user/ole32_com.h"
#include "winsim/user/user_faults.h"
#include "winsim/user/user_modules.h"
#include "winsim/user/winmm_time.h"

namespace winsim {

void ResetUserModeState() {
  ResetCom();
  ResetHostModules();
  ResetTimerPeriods();
  ResetMmTasks();
  ResetMessageBoxes();
  ResetUserApiFaults();
}

}  // namespace winsim
