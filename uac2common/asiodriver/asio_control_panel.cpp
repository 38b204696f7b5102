// controlPanel: an external program registered for the device, else the
// settings dialog, whose OK applies the user's choice.
#include "uac2common/asiodriver/asio_module_state.h"
#include "uac2common/asiodriver/asio_settings.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

constexpr INT_PTR kDialogOk = 1;

}  // namespace

ASIOError QZUsb2Asio::controlPanel() {
  const char *lookupName = m_devices.empty() ? "" : m_devices[0]->GetFilterName();
  qavasio::AsioPanelSteps &steps = qavasio::PanelSteps();
  if (steps.launchExternalPanel != nullptr && steps.launchExternalPanel(lookupName, m_window)) return ASE_OK;

  qavasio::SetCurrentObject(this);
  qavasio::AsioPanelSettings settings;
  settings.performanceMode = FirstUrbSize();
  settings.bufferSize = ReadPreferredBufferSize();
  settings.sampleRate = m_devices.empty() ? 44100 : CurrentRate();
  const INT_PTR ended = steps.runSettingsDialog != nullptr ? steps.runSettingsDialog(m_window, &settings) : 0;
  if (ended == kDialogOk) ApplySettings(settings);
  qavasio::SetCurrentObject(nullptr);
  return ASE_OK;
}

void QZUsb2Asio::ApplySettings(const qavasio::AsioPanelSettings &settings) {
  const uint32_t currentRate = m_devices.empty() ? 0 : CurrentRate();
  if (settings.sampleRate != currentRate) qavasio::SetPendingRate(settings.sampleRate);
  if (settings.bufferSize != ReadPreferredBufferSize()) WritePreferredBufferSize(settings.bufferSize);
  if (!m_devices.empty() && settings.performanceMode != m_devices[0]->GetUrbSize()) {
    for (CQZAudioFilter *device : m_devices) device->SetUrbSize(settings.performanceMode);
  }
  HostMessage(kAsioResetRequest);
}
