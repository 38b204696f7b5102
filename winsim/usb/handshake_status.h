// The USBD status a transfer or packet gets for the way its transaction
// ended on the bus. A data error reads as a CRC error on IN (the host saw
// bad data) and a transaction error on OUT.
#pragma once
#include <usb.h>

#include "winsim/usb/usb_function.h"

namespace winsim::usb {

inline int32_t UsbdStatusOf(Handshake handshake, bool in) {
  switch (handshake) {
    case Handshake::Ack: return USBD_STATUS_SUCCESS;
    case Handshake::Stall: return USBD_STATUS_STALL_PID;
    case Handshake::NoReply: return USBD_STATUS_DEV_NOT_RESPONDING;
    case Handshake::Error: return in ? USBD_STATUS_CRC : USBD_STATUS_XACT_ERROR;
    case Handshake::Nak: return USBD_STATUS_PENDING;
  }
  return USBD_STATUS_INTERNAL_HC_ERROR;
}

}  // namespace winsim::usb
