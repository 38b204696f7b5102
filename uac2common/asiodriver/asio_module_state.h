// Process-wide state of the ASIO driver shared by its driver objects and its
// settings dialog.
#pragma once
#include <cstdint>

class QZUsb2Asio;

namespace qavasio {

// The rate the settings dialog chose, consumed (and cleared) by the next pin
// opening that asks for no rate of its own; 0 = none.
uint32_t TakePendingRate();
void SetPendingRate(uint32_t rate);
uint32_t PendingRate();

// The driver object whose settings dialog is open.
void SetCurrentObject(QZUsb2Asio *object);
QZUsb2Asio *CurrentObject();

}  // namespace qavasio
