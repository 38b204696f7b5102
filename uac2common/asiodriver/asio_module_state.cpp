#include "uac2common/asiodriver/asio_module_state.h"

#include <atomic>

namespace qavasio {
namespace {

std::atomic<uint32_t> g_pendingRate{0};
std::atomic<QZUsb2Asio *> g_currentObject{nullptr};

}  // namespace

uint32_t TakePendingRate() { return g_pendingRate.exchange(0); }
void SetPendingRate(uint32_t rate) { g_pendingRate.store(rate); }
uint32_t PendingRate() { return g_pendingRate.load(); }

void SetCurrentObject(QZUsb2Asio *object) { g_currentObject.store(object); }
QZUsb2Asio *CurrentObject() { return g_currentObject.load(); }

}  // namespace qavasio
