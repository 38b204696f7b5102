// What controlPanel hands to the settings dialog and gets back, and the two
// steps it takes before applying a result: the external control program
// registered for the device, and the modal settings dialog. Both are
// replaceable so that a host without a desktop (and a test) can answer them.
#pragma once
#include <windows.h>

#include <cstdint>

namespace qavasio {

struct AsioPanelSettings {
  uint32_t performanceMode;  // the device's UrbSize: 1, 3 or 5 (10 without a device)
  uint32_t bufferSize;       // samples
  uint32_t sampleRate;       // Hz
};
static_assert(sizeof(AsioPanelSettings) == 12, "AsioPanelSettings layout");

// True when an external program for the device named `lookupName` started.
using LaunchExternalPanelFn = bool (*)(LPCSTR lookupName, HWND parent);
// Runs the settings dialog modally on `settings`; returns the id it ended
// with (1, OK, applies the settings).
using RunSettingsDialogFn = INT_PTR (*)(HWND parent, AsioPanelSettings *settings);

struct AsioPanelSteps {
  LaunchExternalPanelFn launchExternalPanel;
  RunSettingsDialogFn runSettingsDialog;
};

// The steps controlPanel takes; by default no external program is found and
// the dialog ends with Cancel until a dialog is installed here.
AsioPanelSteps &PanelSteps();

}  // namespace qavasio
