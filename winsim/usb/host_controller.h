// A simulated USB 2.0 host controller: one bus with its own frame counter on
// the machine's virtual clock, ports for simulated devices, and a completion
// context that returns finished transfers at DISPATCH_LEVEL.
//
// Serial (the default), one thread completes every transfer of the bus. In
// parallel mode (winsim/sched/parallel_mode.h) several do, as completion
// DPCs of several processors would: each endpoint's transfers always on the
// same thread and in order, as Windows' USB stack keeps a pipe's order, and
// a device's IN and OUT endpoints of one number on different threads. Each
// completion's CPU time is counted (winsim/sched/dispatch_cpu.h).
//
// Isochronous packets are served in the microframe they are scheduled for,
// in bus order across all endpoints. OUT data is read from the submitter's
// buffer when the controller fetches it (out_fetch.h): by default about a
// frame ahead of its microframe, as an xHCI controller caches it; bytes
// written after that never reach the device and are counted per pipe. A
// transfer completes once the frame of its last packet has passed (plus the
// simulated DPC latency, when a latency profile is set). Control transfers
// take the time the port's timing profile says (control_timing.h), one at
// a time per default pipe. Nothing here knows URBs or IRPs: the USB stack
// above translates them into Transfers.
#pragma once
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "winsim/sched/scheduler.h"
#include "winsim/usb/control_timing.h"
#include "winsim/usb/out_fetch.h"
#include "winsim/usb/periodic_budget.h"
#include "winsim/usb/usb_function.h"

namespace winsim::usb {

class BusCapture;

inline constexpr VTime kMicroframeTicks = 1250;  // 125 us
inline constexpr VTime kFrameTicks = 10000;      // 1 ms
// How far a bus's SOF runs from the system clock by default: two crystals of
// one board agree to within a few tens of ppm.
inline constexpr int32_t kDefaultSofOffsetPpm = 23;
inline constexpr int32_t kMaxSofOffsetPpm = 1000;

// The layout of USBD_ISO_PACKET_DESCRIPTOR, so a URB's own packet array can
// be handed over as it is.
struct IsoPacket {
  uint32_t offset;
  uint32_t length;
  int32_t status;
};
static_assert(sizeof(IsoPacket) == 12, "iso packet descriptor layout");

enum class TransferKind : uint8_t { Control, Isochronous, Bulk, Interrupt };

// One transfer. The submitter owns it; between Submit and the completion
// callback the controller uses it and the submitter must not touch it.
struct Transfer {
  TransferKind kind = TransferKind::Control;
  uint8_t endpoint = 0;  // address, bit 7 set for IN; 0 for the default pipe
  uint8_t *buffer = nullptr;
  uint32_t length = 0;        // IN: room in buffer; OUT: bytes to send
  uint32_t maxPacket = 0;     // bytes per service interval the endpoint allows
  uint32_t intervalMicroframes = 1;
  SetupPacket setup{};        // control transfers
  bool asap = false;          // isochronous: follow the endpoint's previous transfer
  uint32_t startFrame = 0;    // isochronous: first frame (set by the controller for ASAP)
  IsoPacket *packets = nullptr;
  uint32_t packetCount = 0;
  // Runs on the completion context at DISPATCH_LEVEL. The transfer belongs
  // to the submitter again when it is called.
  std::function<void(Transfer &)> onComplete;

  int32_t status = 0;  // a USBD status
  uint32_t actualLength = 0;
  uint32_t errorCount = 0;

 private:
  friend class HostController;
  int m_port = 0;
  uint64_t m_firstMicroframe = 0;
  uint32_t m_nextPacket = 0;
  VTime m_due = 0;  // when the completion may be delivered
  bool m_parked = false;  // bulk/interrupt: waiting for the device to have data
  bool m_held = false;    // isochronous: kept past its last frame (HoldIsochronous)
  VTime m_heldUntil = 0;
  // Isochronous OUT fetched ahead of the bus: the controller's copy of the
  // packets fetched so far (packets before m_nextFetch).
  bool m_fetches = false;
  uint32_t m_fetchAhead = 0;  // microframes; 0 with everything copied at submission
  uint32_t m_nextFetch = 0;
  std::vector<uint8_t> m_fetched;
  uint32_t m_lateBefore = 0;  // packets before this one were late at submission
  bool m_inFlight = false;    // control: on the bus until m_due
};

class HostController {
 public:
  // frameBase: the bus frame number at virtual time zero.
  HostController(uint32_t busNumber, uint32_t frameBase);
  ~HostController();
  HostController(const HostController &) = delete;
  HostController &operator=(const HostController &) = delete;

  // Starts and stops the completion context. Stop fails every transfer still
  // pending with USBD_STATUS_CANCELED first.
  void Start(Scheduler &scheduler);
  void Stop();

  uint32_t BusNumber() const { return m_busNumber; }
  // The 1 ms frame counter QueryBusTime reports (it wraps at 2^32), and a
  // microframe count that does not wrap: its low 35 bits are the frame
  // counter and the microframe within the frame. Devices see this count.
  uint32_t CurrentFrame() const;
  uint64_t CurrentMicroframe() const;
  // Sets the frame counter so that the current frame is `frame`, e.g. just
  // before the 32-bit wrap; the microframe count moves forward to match.
  // Refused (false) while isochronous transfers are scheduled. Meant for
  // before devices stream: a device's sample clock counts microframes and
  // would have to catch up with the jump.
  bool SetCurrentFrame(uint32_t frame);
  // The bus's SOF against the system clock: its frames run this many ppm
  // fast (negative: slow), clamped to ±kMaxSofOffsetPpm. The frame counter
  // goes on from the current microframe. Default kDefaultSofOffsetPpm; 0
  // locks SOF to the system clock.
  void SetSofOffsetPpm(int32_t ppm);
  int32_t SofOffsetPpm() const;

  int Attach(std::shared_ptr<UsbFunction> device);
  // Everything pending on the port completes with USBD_STATUS_DEVICE_GONE;
  // later submissions to the port fail the same way.
  void Detach(int port);
  std::shared_ptr<UsbFunction> DeviceAt(int port) const;

  // USBD_STATUS_PENDING when the transfer was queued (its callback will
  // run), else the failure; a refused transfer gets no callback.
  int32_t Submit(int port, Transfer *transfer);
  // Completes a pending transfer with USBD_STATUS_CANCELED; false when it is
  // not pending (already completing or done).
  bool Cancel(Transfer *transfer);
  // ABORT_PIPE: cancels every pending transfer of one endpoint.
  void AbortEndpoint(int port, uint8_t endpoint);

  // How long a control transfer occupies the default pipe (default 125 us).
  void SetControlDuration(VTime duration);
  // Earliest frame an explicit StartFrame may name, relative to the current
  // frame (default 1: the frame being scheduled now cannot take new work;
  // an xHCI controller's isochronous scheduling threshold and interrupter
  // latency can make it 2 or 3).
  void SetSchedulingThreshold(uint32_t frames);
  uint32_t SchedulingThreshold() const;
  // Simulated DPC latency: each completion is delivered this much later,
  // in order. Null turns it off.
  void SetCompletionLatency(std::function<VTime(std::mt19937 &)> sampler, uint32_t seed = 1);
  void SetCapture(BusCapture *capture);

  // Faults of the stack itself, for the drivers above it.
  // The next `count` isochronous submissions for `endpoint` (0: any) are
  // refused at once with USBD_STATUS_INSUFFICIENT_RESOURCES (a stack out of
  // transfer descriptors): the submitting IoCallDriver fails without
  // pending.
  void RefuseIsochronous(uint32_t count, uint8_t endpoint = 0);
  // The next `count` isochronous transfers accepted for `endpoint` (0: any)
  // are held past their last frame, as a hub or controller in recovery
  // holds them: each completes only when cancelled or aborted, or at
  // virtual time `until` (kInfinite: never by itself).
  void HoldIsochronous(uint32_t count, VTime until, uint8_t endpoint = 0);
  uint64_t RefusedIsochronous() const;
  uint64_t HeldIsochronous() const;
  // The next `count` isochronous packets of `endpoint` (0: any) fall in
  // service intervals the controller misses (an xHCI missed-service event):
  // nothing moves, each reports USBD_STATUS_ISO_NOT_ACCESSED_BY_HW.
  void MissServiceIntervals(uint32_t count, uint8_t endpoint = 0);
  // The next `count` isochronous IN packets of `endpoint` (0: any IN) meet a
  // device talking past its packet's end: USBD_STATUS_BABBLE_DETECTED,
  // nothing received.
  void BabbleIsochronousIn(uint32_t count, uint8_t endpoint = 0);
  uint64_t MissedServiceIntervals() const;
  uint64_t BabbledPackets() const;

  // How a start frame already behind the scheduling threshold is treated
  // (late_start in out_fetch.h). Default LateStart::NotAccessed.
  void SetLateStart(LateStart policy);

  // When OUT data is read from the buffer (default OutFetch::Ahead,
  // kDefaultFetchAheadMicroframes); applies to transfers submitted after.
  void SetOutFetch(OutFetch mode, uint32_t aheadMicroframes = kDefaultFetchAheadMicroframes);
  // OUT packets of one pipe that went over the bus, and how many of them the
  // submitter changed after the controller had fetched them.
  OutFetchCounts OutFetchStats(int port, uint8_t endpoint) const;
  // Whether an OUT packet the device lost shows in its status (default
  // false: there is no handshake, the host cannot know).
  void SetOutLossVisible(bool visible);

  // Control transfer timing of a port (default: DefaultControlTiming of the
  // device's speed, set at Attach).
  void SetControlTiming(int port, const ControlTiming &timing);

  uint64_t CompletedTransfers() const { return m_completed.load(); }

  // Periodic bandwidth of the high-speed devices on the bus
  // (periodic_budget.h). The limit in bytes per microframe: default 6000,
  // 0 for none. A full-speed device's periodic transfers are not booked.
  void SetPeriodicBudget(uint32_t bytesPerMicroframe);
  // USBD_STATUS_SUCCESS when the bus has room (the booking replaces the
  // interface's or the port's earlier one), else USBD_STATUS_NO_BANDWIDTH
  // and nothing changes. `previous` receives the port's bookings before.
  int32_t ReservePeriodic(int port, uint8_t interfaceNumber, const std::vector<PeriodicEndpoint> &endpoints,
                          PeriodicBudget::PortBookings *previous);
  int32_t ReservePeriodicPort(int port, const PeriodicBudget::PortBookings &interfaces,
                              PeriodicBudget::PortBookings *previous);
  void RestorePeriodic(int port, const PeriodicBudget::PortBookings &bookings);
  // The most bytes any microframe has booked.
  uint32_t PeriodicPeak() const;

 private:
  struct Port {
    std::shared_ptr<UsbFunction> device;
    bool gone = false;
    ControlTiming timing;
    // The default pipe carries one request at a time: the one on the bus
    // (until controlBusyUntil, kInfinite while the device never finishes
    // it), then the queued ones in order.
    VTime controlBusyUntil = 0;
    Transfer *controlActive = nullptr;
    std::vector<Transfer *> controlQueue;
  };

  int32_t ValidateIso(const Port &port, Transfer &transfer) const;
  bool BookedLocked(int port) const;
  uint64_t IsoMicroframeOf(const Transfer &transfer, uint32_t packet) const;
  VTime TimeOfMicroframe(uint64_t microframe) const;
  uint64_t MicroframeAtLocked(VTime time) const;
  // The non-wrapping microframe of a 32-bit frame number: the frame of that
  // number nearest the current one.
  uint64_t MicroframeOfFrame(uint32_t frame) const;
  VTime DueAfterFrameOf(uint64_t lastMicroframe);
  void QueueDoneLocked(Transfer *transfer, VTime due);
  void RunIsoUntilLocked(uint64_t microframeLimit);
  void ServeIsoPacketLocked(Transfer &transfer);
  bool TakeIsoFaultLocked(uint32_t &remaining, uint8_t endpoint, uint8_t onlyEndpoint) const;
  void PrepareFetchLocked(Transfer &transfer, uint64_t currentMicroframe);
  void FetchDueLocked(Transfer &transfer, uint64_t currentMicroframe);
  void FetchPacketLocked(Transfer &transfer, uint32_t packet);
  uint64_t FetchPointOf(const Transfer &transfer, uint32_t packet) const;
  const uint8_t *OutDataLocked(Transfer &transfer, uint32_t packet, uint32_t room);
  void MarkLatePacketsLocked(Transfer &transfer, uint64_t currentMicroframe);
  void ServeControlLocked(Transfer &transfer, VTime now);
  void StartQueuedControlLocked(VTime now);
  void ReleaseDefaultPipeLocked(Transfer &transfer, VTime now);
  bool CancelInFlightControlLocked(Transfer *transfer, VTime now);
  VTime NextControlWakeLocked() const;
  void ServeBulkLocked(Transfer &transfer, VTime now);
  void RetryParkedLocked(VTime now);
  bool TakeHoldLocked(const Transfer &transfer);
  void ReleaseHeldLocked(VTime now);
  VTime NextWakeLocked() const;
  void FailPendingLocked(int port, int32_t status, bool onlyEndpoint, uint8_t endpoint);
  bool RemovePendingLocked(Transfer *transfer);
  // A completion context: its thread, and the finished transfers it
  // returns, by due time.
  struct Lane {
    std::shared_ptr<SimThread> thread;
    KEVENT wake{};
    std::multimap<VTime, Transfer *> done;
    VTime lastDue = 0;
  };
  Lane &LaneOfLocked(const Transfer &transfer);
  VTime NextWakeLocked(const Lane &lane) const;
  void DeliverLocked(Transfer *transfer, VTime now, std::unique_lock<std::mutex> &lock);
  void Loop(Lane *lane);
  void Wake();

  const uint32_t m_busNumber;
  // The frame clock: microframe m_clockMicroframe started at m_clockTime,
  // and microframes last 1250 ticks scaled by the SOF offset from there.
  VTime m_clockTime = 0;
  uint64_t m_clockMicroframe = 0;
  int32_t m_sofPpm = kDefaultSofOffsetPpm;
  Scheduler *m_scheduler = nullptr;
  std::vector<std::unique_ptr<Lane>> m_lanes;  // fixed from Start to Stop
  uint32_t m_laneShift = 0;  // parallel mode: which lane each endpoint takes (seeded)
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stopping{false};

  mutable std::mutex m_lock;
  mutable std::mutex m_clockLock;  // the frame clock; taken inside m_lock, never the other way
  std::map<int, Port> m_ports;
  PeriodicBudget m_budget;
  int m_nextPort = 1;
  std::vector<Transfer *> m_iso;      // active isochronous transfers
  std::vector<Transfer *> m_waiting;  // control, bulk and interrupt transfers not yet done
  std::vector<Transfer *> m_held;     // isochronous transfers served and held back
  std::map<std::pair<int, uint8_t>, uint32_t> m_nextAsapFrame;  // per port and endpoint
  uint64_t m_servedThrough = 0;  // isochronous microframes before this one are served
  VTime m_controlDuration = kMicroframeTicks;
  uint32_t m_threshold = 1;
  std::function<VTime(std::mt19937 &)> m_latency;
  std::mt19937 m_random;
  BusCapture *m_capture = nullptr;
  uint32_t m_refuseIso = 0;
  uint8_t m_refuseEndpoint = 0;
  uint32_t m_holdIso = 0;
  VTime m_holdUntil = 0;
  uint8_t m_holdEndpoint = 0;
  uint64_t m_refusedIso = 0;
  uint64_t m_heldIso = 0;
  uint32_t m_missIso = 0;
  uint8_t m_missEndpoint = 0;
  uint64_t m_missedIso = 0;
  uint32_t m_babbleIso = 0;
  uint8_t m_babbleEndpoint = 0;
  uint64_t m_babbledIso = 0;
  LateStart m_lateStart = LateStart::NotAccessed;
  bool m_outLossVisible = false;
  OutFetch m_outFetch = OutFetch::Ahead;
  uint32_t m_fetchAhead = kDefaultFetchAheadMicroframes;
  std::map<std::pair<int, uint8_t>, OutFetchCounts> m_fetchCounts;
  std::mt19937 m_controlRandom{1};
  std::atomic<bool> m_dataReady{false};
  std::atomic<uint64_t> m_completed{0};
};

}  // namespace winsim::usb
