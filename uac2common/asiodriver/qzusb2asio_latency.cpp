// Buffer sizes and the latencies reported for them.
#include "uac2common/asiodriver/asio_latency.h"
#include "uac2common/asiodriver/asio_settings.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/asiodriver/qzusb2asio.h"

namespace {

// UrbSize assumed without a device to ask.
constexpr uint32_t kNoDeviceUrbSize = 10;

}  // namespace

uint32_t QZUsb2Asio::FirstUrbSize() const {
  return m_devices.empty() ? kNoDeviceUrbSize : m_devices[0]->GetUrbSize();
}

uint32_t QZUsb2Asio::ModelOffset() const {
  // A measured offset describes one device alone, never an aggregate.
  if (m_devices.size() != 1) return qavasio::ModelOffset(0, 0);
  return qavasio::ModelOffset(m_devices[0]->GetVendorId(), m_devices[0]->GetProductId());
}

uint64_t QZUsb2Asio::TotalLatencyFor(uint32_t bufferSize, uint32_t urbSizeMs, uint32_t rate) const {
  return qavasio::TotalLatency(rate, bufferSize, urbSizeMs, ModelOffset());
}

LONG QZUsb2Asio::DirectionLatency() {
  const uint32_t rate = m_devices.empty() ? 0 : CurrentRate();
  const uint32_t buffer = m_bufferSize > 0 ? static_cast<uint32_t>(m_bufferSize) : 0;
  return static_cast<LONG>(qavasio::DirectionLatency(TotalLatencyFor(buffer, FirstUrbSize(), rate)));
}

ASIOError QZUsb2Asio::getLatencies(LONG *inputLatency, LONG *outputLatency) {
  const LONG latency = DirectionLatency();
  if (inputLatency != nullptr) *inputLatency = latency;
  if (outputLatency != nullptr) *outputLatency = latency;
  return ASE_OK;
}

ASIOError QZUsb2Asio::getBufferSize(LONG *minSize, LONG *maxSize, LONG *preferredSize, LONG *granularity) {
  if (minSize != nullptr) *minSize = 16;
  if (maxSize != nullptr) *maxSize = 4096;
  if (preferredSize != nullptr) *preferredSize = static_cast<LONG>(ReadPreferredBufferSize());
  if (granularity != nullptr) *granularity = 1;
  return ASE_OK;
}
