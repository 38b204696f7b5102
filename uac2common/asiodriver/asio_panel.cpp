#include "uac2common/asiodriver/asio_panel.h"

namespace qavasio {
namespace {

bool NoExternalPanel(LPCSTR, HWND) { return false; }

INT_PTR NoSettingsDialog(HWND, AsioPanelSettings *) { return 2; }

}  // namespace

AsioPanelSteps &PanelSteps() {
  static AsioPanelSteps steps = {NoExternalPanel, NoSettingsDialog};
  return steps;
}

}  // namespace qavasio
