// Observer of everything that crosses a simulated bus (the pcap writer is
// one). Called by the host controller with its lock held: an observer must
// not call back into the controller.
#pragma once
#include <cstdint>

#include "winsim/usb/usb_function.h"

namespace winsim::usb {

struct Transfer;

class BusCapture {
 public:
  virtual ~BusCapture() = default;
  virtual void Submitted(uint32_t bus, int port, const Transfer &transfer, VTime now) = 0;
  virtual void Completed(uint32_t bus, int port, const Transfer &transfer, VTime now) = 0;
};

}  // namespace winsim::usb
