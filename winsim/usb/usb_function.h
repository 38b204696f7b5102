// What the simulated host controller sees of a device plugged into one of its
// ports: the device side of every transaction, and nothing of the host's
// bookkeeping (URBs, IRPs, pipes).
//
// Timing contract: the host controller calls the isochronous members once per
// scheduled packet, in bus order — microframe by microframe, and within one
// microframe endpoint by endpoint — never going back in time. A device runs
// its own clocks up to the microframe it is asked about. Control, bulk and
// interrupt calls carry the virtual time at which the transaction happens.
//
// Threading: the host controller calls a function from one thread at a time
// (its own, or a submitting thread under its lock); a device that tests also
// poke from outside guards its own state.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsim::usb {

using VTime = int64_t;  // 100 ns units

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};
static_assert(sizeof(SetupPacket) == 8, "a setup packet is eight bytes on the wire");

inline constexpr uint8_t kRequestDirectionIn = 0x80;

// How a transaction ended on the bus.
enum class Handshake : uint8_t {
  Ack,      // done; length says how many bytes moved
  Nak,      // bulk/interrupt IN: nothing to send yet (the host retries)
  Stall,    // the endpoint (or the request) is refused
  NoReply,  // the device did not answer: a time-out on the bus
  Error,    // CRC, babble or bit-stuff error: the data is unusable
};

struct TransferOutcome {
  Handshake handshake = Handshake::Ack;
  uint32_t length = 0;
  // How long a control transfer keeps the default pipe busy before it
  // completes (status stage included). Ignored for the other types.
  VTime duration = 0;
};

enum class BusSpeed : uint8_t { Full, High };

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  virtual BusSpeed Speed() const = 0;
  // A short label for logs and captures, e.g. "Larch 2B5A:8014".
  virtual std::string Label() const = 0;

  // The default pipe. For a device-to-host request, data has room for
  // wLength bytes and the outcome's length says how many were returned; for
  // host-to-device, data holds wLength bytes. Standard requests
  // (GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE …) come
  // here like class requests.
  virtual TransferOutcome Control(const SetupPacket &setup, uint8_t *data, VTime now) = 0;
  // The request Control answered ends at `end` (its status stage), which is
  // later than `now` by the time the device takes over it. Called under the
  // host controller's lock, only for requests the device did not leave pending.
  virtual void ControlEnded(const SetupPacket &setup, VTime end) {
    (void)setup;
    (void)end;
  }

  // One isochronous packet in bus microframe `microframe` (full speed: the
  // microframe that starts the 1 ms frame). An OUT packet delivers length
  // bytes; an IN packet fills at most capacity bytes.
  virtual TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length) = 0;
  virtual TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) = 0;

  // Bulk and interrupt transactions. IN answers Nak while there is nothing to
  // send; the device calls the data-ready callback once it has.
  virtual TransferOutcome BulkOrInterruptIn(uint8_t endpoint, VTime now, uint8_t *buffer, uint32_t capacity) = 0;
  virtual TransferOutcome BulkOrInterruptOut(uint8_t endpoint, VTime now, const uint8_t *data, uint32_t length) = 0;

  // Port reset: back to the default address, unconfigured.
  virtual void BusReset(VTime now) = 0;
  // The bus lost power (hibernate, or a sleep that cuts bus power): like a
  // port reset, and a device that keeps state beyond it loses that too.
  virtual void PowerLoss(VTime now) { BusReset(now); }
  // The bus's SOF runs `ppm` fast against the system clock (negative:
  // slow). A device with its own crystal counts its clock in microframes:
  // it sees its clock that much slower. Called at attach and on changes,
  // under the host controller's lock.
  virtual void SofOffsetChanged(int32_t ppm) { (void)ppm; }

  // Set by the host controller while the device is attached; a device calls
  // it (from any thread) when an IN endpoint that NAKed has data.
  void SetDataReadyCallback(std::function<void(uint8_t endpoint)> callback) { m_dataReady = std::move(callback); }

 protected:
  void NotifyDataReady(uint8_t endpoint) {
    if (m_dataReady) m_dataReady(endpoint);
  }

 private:
  std::function<void(uint8_t endpoint)> m_dataReady;
};

}  // namespace winsim::usb
