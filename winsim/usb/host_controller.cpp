#include "winsim/usb/host_controller.h"

#include <usb.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "winsim/sched/dispatch_cpu.h"
#include "winsim/sched/parallel_mode.h"
#include "winsim/usb/bus_capture.h"
#include "winsim/usb/handshake_status.h"

namespace winsim::usb {
namespace {

using u128 = unsigned __int128;

constexpr uint32_t kMicroframesPerFrame = 8;
constexpr int64_t kPpmScale = 1'000'000;
constexpr uint64_t kFrameWrap = uint64_t{1} << 32;
constexpr uint32_t kMaxIsoPacketsHighSpeed = 1024;
constexpr uint32_t kMaxIsoPacketsFullSpeed = 255;

bool IsIn(uint8_t endpoint) { return (endpoint & 0x80) != 0; }

// Bytes packet i of an isochronous transfer may carry: the distance to the
// next packet's offset, the last one up to the end of the buffer.
uint32_t PacketRoom(const Transfer &transfer, uint32_t i) {
  uint32_t end = i + 1 < transfer.packetCount ? transfer.packets[i + 1].offset : transfer.length;
  return end - transfer.packets[i].offset;
}

}  // namespace

HostController::HostController(uint32_t busNumber, uint32_t frameBase)
    : m_busNumber(busNumber), m_clockMicroframe(uint64_t{frameBase} * kMicroframesPerFrame), m_random(1) {
  m_lanes.push_back(std::make_unique<Lane>());
}

HostController::~HostController() { Stop(); }

void HostController::Start(Scheduler &scheduler) {
  m_scheduler = &scheduler;
  m_stopping = false;
  ParallelMode &parallel = ParallelMode::Instance();
  size_t lanes = parallel.On() ? parallel.Options().completionThreads : 1;
  m_laneShift = parallel.On() ? static_cast<uint32_t>(parallel.Draw(RandomStream::Wakes) % lanes) : 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    while (m_lanes.size() < lanes) m_lanes.push_back(std::make_unique<Lane>());
    for (auto &lane : m_lanes) KeInitializeEvent(&lane->wake, SynchronizationEvent, FALSE);
  }
  std::string name = "usb completion bus " + std::to_string(m_busNumber);
  for (size_t i = 0; i < m_lanes.size(); ++i) {
    Lane *lane = m_lanes[i].get();
    lane->thread = scheduler.Spawn(lanes > 1 ? name + " cpu " + std::to_string(i) : name, ThreadKind::Completion,
                                   kSystemProcessId, [this, lane] { Loop(lane); });
  }
  m_started = true;
}

void HostController::Stop() {
  if (!m_started) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;  // set first, so no resubmission from a completion slips in behind the failures
    for (auto &[number, port] : m_ports) FailPendingLocked(number, USBD_STATUS_CANCELED, false, 0);
  }
  Wake();
  for (auto &lane : m_lanes) {
    KeWaitForSingleObject(lane->thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
    lane->thread.reset();
  }
  m_started = false;
}

uint32_t HostController::CurrentFrame() const {
  return static_cast<uint32_t>(CurrentMicroframe() / kMicroframesPerFrame);
}

uint64_t HostController::CurrentMicroframe() const {
  std::lock_guard<std::mutex> guard(m_clockLock);
  return MicroframeAtLocked(m_scheduler->Now());
}

uint64_t HostController::MicroframeAtLocked(VTime time) const {
  if (time <= m_clockTime) return m_clockMicroframe;
  const u128 scaled = static_cast<u128>(time - m_clockTime) * static_cast<uint64_t>(kPpmScale + m_sofPpm);
  return m_clockMicroframe + static_cast<uint64_t>(scaled / (static_cast<u128>(kMicroframeTicks) * kPpmScale));
}

// The first tick of the microframe (rounded up), so that MicroframeAt of the
// result is the microframe.
VTime HostController::TimeOfMicroframe(uint64_t microframe) const {
  std::lock_guard<std::mutex> guard(m_clockLock);
  if (microframe <= m_clockMicroframe) return m_clockTime;
  const u128 ticks = static_cast<u128>(microframe - m_clockMicroframe) * kMicroframeTicks * kPpmScale;
  const uint64_t scale = static_cast<uint64_t>(kPpmScale + m_sofPpm);
  return m_clockTime + static_cast<VTime>((ticks + scale - 1) / scale);
}

uint64_t HostController::MicroframeOfFrame(uint32_t frame) const {
  const uint64_t current = CurrentMicroframe() / kMicroframesPerFrame;
  const int64_t ahead = static_cast<int32_t>(frame - static_cast<uint32_t>(current));
  return static_cast<uint64_t>(static_cast<int64_t>(current) + ahead) * kMicroframesPerFrame;
}

bool HostController::SetCurrentFrame(uint32_t frame) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_iso.empty() || !m_held.empty()) return false;
  std::lock_guard<std::mutex> clock(m_clockLock);
  const VTime now = m_scheduler != nullptr ? m_scheduler->Now() : 0;
  // Forward only: the count of microframes never goes back.
  const uint64_t current = MicroframeAtLocked(now);
  uint64_t frames = ((current / kMicroframesPerFrame) & ~(kFrameWrap - 1)) + frame;
  if (frames * kMicroframesPerFrame <= current) frames += kFrameWrap;
  m_clockMicroframe = frames * kMicroframesPerFrame + current % kMicroframesPerFrame;
  m_clockTime = now;
  m_nextAsapFrame.clear();
  m_servedThrough = 0;
  return true;
}

void HostController::SetSofOffsetPpm(int32_t ppm) {
  std::vector<std::shared_ptr<UsbFunction>> devices;
  int32_t applied = 0;
  {
    std::lock_guard<std::mutex> ports(m_lock);
    std::lock_guard<std::mutex> guard(m_clockLock);
    const VTime now = m_scheduler != nullptr ? m_scheduler->Now() : 0;
    const uint64_t current = MicroframeAtLocked(now);
    // The new rate applies from the start of the current microframe.
    if (now > m_clockTime) {
      const u128 ticks = static_cast<u128>(current - m_clockMicroframe) * kMicroframeTicks * kPpmScale;
      const uint64_t scale = static_cast<uint64_t>(kPpmScale + m_sofPpm);
      m_clockTime += static_cast<VTime>((ticks + scale - 1) / scale);
      m_clockMicroframe = current;
  }
  m_sofPpm = std::clamp(ppm, -kMaxSofOffsetPpm, kMaxSofOffsetPpm);
  applied = m_sofPpm;
  for (auto &[number, port] : m_ports) devices.push_back(port.device);
  }
  // Outside the controller's locks, as in Attach.
  for (const std::shared_ptr<UsbFunction> &device : devices) device->SofOffsetChanged(applied);
}

int32_t HostController::SofOffsetPpm() const {
  std::lock_guard<std::mutex> guard(m_clockLock);
  return m_sofPpm;
}

int HostController::Attach(std::shared_ptr<UsbFunction> device) {
  // Told outside the controller's locks: a device takes its own lock there,
  // and calls back into the controller while it holds it.
  device->SofOffsetChanged(SofOffsetPpm());
  std::lock_guard<std::mutex> guard(m_lock);
  int number = m_nextPort++;
  device->SetDataReadyCallback([this](uint8_t) {
    m_dataReady = true;
    Wake();
  });
  Port &port = m_ports[number];
  port.timing = DefaultControlTiming(device->Speed());
  port.device = std::move(device);
  return number;
}

void HostController::Detach(int port) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_ports.find(port);
    if (it == m_ports.end() || it->second.gone) return;
    RunIsoUntilLocked(CurrentMicroframe());  // what was due before the device left went over the bus
    it->second.gone = true;
    m_budget.ReleasePort(port);
    FailPendingLocked(port, USBD_STATUS_DEVICE_GONE, false, 0);
  }
  Wake();
}

std::shared_ptr<UsbFunction> HostController::DeviceAt(int port) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_ports.find(port);
  return it == m_ports.end() || it->second.gone ? nullptr : it->second.device;
}

void HostController::SetControlDuration(VTime duration) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_controlDuration = duration < 0 ? 0 : duration;
}

void HostController::SetSchedulingThreshold(uint32_t frames) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_threshold = frames;
}

uint32_t HostController::SchedulingThreshold() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_threshold;
}

void HostController::SetCompletionLatency(std::function<VTime(std::mt19937 &)> sampler, uint32_t seed) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_latency = std::move(sampler);
  m_random.seed(seed);
}

void HostController::SetCapture(BusCapture *capture) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_capture = capture;
}

void HostController::RefuseIsochronous(uint32_t count, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_refuseIso = count;
  m_refuseEndpoint = endpoint;
}

void HostController::HoldIsochronous(uint32_t count, VTime until, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_holdIso = count;
  m_holdUntil = until;
  m_holdEndpoint = endpoint;
}

uint64_t HostController::RefusedIsochronous() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_refusedIso;
}

uint64_t HostController::HeldIsochronous() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_heldIso;
}

void HostController::SetPeriodicBudget(uint32_t bytesPerMicroframe) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_budget.SetLimit(bytesPerMicroframe);
}

bool HostController::BookedLocked(int port) const {
  auto it = m_ports.find(port);
  return it != m_ports.end() && !it->second.gone && it->second.device->Speed() == BusSpeed::High;
}

int32_t HostController::ReservePeriodic(int port, uint8_t interfaceNumber,
                                        const std::vector<PeriodicEndpoint> &endpoints,
                                        PeriodicBudget::PortBookings *previous) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (previous != nullptr) *previous = m_budget.Bookings(port);
  if (!BookedLocked(port)) return USBD_STATUS_SUCCESS;
  return m_budget.Reserve(port, interfaceNumber, endpoints) ? USBD_STATUS_SUCCESS : USBD_STATUS_NO_BANDWIDTH;
}

int32_t HostController::ReservePeriodicPort(int port, const PeriodicBudget::PortBookings &interfaces,
                                            PeriodicBudget::PortBookings *previous) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (previous != nullptr) *previous = m_budget.Bookings(port);
  if (!BookedLocked(port)) return USBD_STATUS_SUCCESS;
  return m_budget.ReservePort(port, interfaces) ? USBD_STATUS_SUCCESS : USBD_STATUS_NO_BANDWIDTH;
}

void HostController::RestorePeriodic(int port, const PeriodicBudget::PortBookings &bookings) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_budget.RestorePort(port, bookings);
}

uint32_t HostController::PeriodicPeak() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_budget.PeakLoad();
}

bool HostController::TakeHoldLocked(const Transfer &transfer) {
  if (m_holdIso == 0 || (m_holdEndpoint != 0 && transfer.endpoint != m_holdEndpoint)) return false;
  --m_holdIso;
  ++m_heldIso;
  return true;
}

// Held transfers whose time has come complete as the bus served them.
void HostController::ReleaseHeldLocked(VTime now) {
  for (auto it = m_held.begin(); it != m_held.end();) {
    Transfer *transfer = *it;
    if (transfer->m_heldUntil > now) {
      ++it;
      continue;
    }
    it = m_held.erase(it);
    QueueDoneLocked(transfer, now);
  }
}

int32_t HostController::ValidateIso(const Port &port, Transfer &transfer) const {
  bool high = port.device->Speed() == BusSpeed::High;
  uint32_t interval = high ? std::max<uint32_t>(transfer.intervalMicroframes, 1) : kMicroframesPerFrame;
  uint32_t perFrame = interval >= kMicroframesPerFrame ? 1 : kMicroframesPerFrame / interval;
  uint32_t maxPackets = high ? kMaxIsoPacketsHighSpeed : kMaxIsoPacketsFullSpeed;
  if (transfer.packets == nullptr || transfer.packetCount == 0 || transfer.packetCount > maxPackets ||
      transfer.packetCount % perFrame != 0) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  for (uint32_t i = 0; i < transfer.packetCount; ++i) {
    const IsoPacket &packet = transfer.packets[i];
    uint32_t end = i + 1 < transfer.packetCount ? transfer.packets[i + 1].offset : transfer.length;
    if (packet.offset > end || end > transfer.length) return USBD_STATUS_INVALID_PARAMETER;
    if (!IsIn(transfer.endpoint) && end - packet.offset > transfer.maxPacket) return USBD_STATUS_INVALID_PARAMETER;
  }
  transfer.intervalMicroframes = interval;
  return USBD_STATUS_SUCCESS;
}

uint64_t HostController::IsoMicroframeOf(const Transfer &transfer, uint32_t packet) const {
  return transfer.m_firstMicroframe + static_cast<uint64_t>(packet) * transfer.intervalMicroframes;
}

int32_t HostController::Submit(int portNumber, Transfer *transfer) {
  std::unique_lock<std::mutex> lock(m_lock);
  auto it = m_ports.find(portNumber);
  if (it == m_ports.end() || it->second.gone) return USBD_STATUS_DEVICE_GONE;
  if (m_stopping) return USBD_STATUS_CANCELED;
  Port &port = it->second;
  transfer->m_port = portNumber;
  transfer->status = USBD_STATUS_PENDING;
  transfer->actualLength = 0;
  transfer->errorCount = 0;
  transfer->m_parked = false;
  VTime now = m_scheduler->Now();
  if (transfer->kind == TransferKind::Isochronous) {
    if (m_refuseIso > 0 && (m_refuseEndpoint == 0 || transfer->endpoint == m_refuseEndpoint)) {
      --m_refuseIso;
      ++m_refusedIso;
      return USBD_STATUS_INSUFFICIENT_RESOURCES;
    }
    int32_t invalid = ValidateIso(port, *transfer);
    if (invalid != USBD_STATUS_SUCCESS) return invalid;
    uint32_t current = CurrentFrame();
    auto key = std::make_pair(portNumber, transfer->endpoint);
    if (transfer->asap) {
      auto next = m_nextAsapFrame.find(key);
      uint32_t earliest = current + m_threshold + 1;
      bool follows = next != m_nextAsapFrame.end() && static_cast<int32_t>(next->second - earliest) >= 0;
      transfer->startFrame = follows ? next->second : earliest;
    } else {
      const int32_t ahead = static_cast<int32_t>(transfer->startFrame - current);
      const bool late = ahead < static_cast<int32_t>(m_threshold);
      if (ahead > USBD_ISO_START_FRAME_RANGE || ahead < -USBD_ISO_START_FRAME_RANGE ||
          (late && m_lateStart == LateStart::Refuse)) {
        return USBD_STATUS_BAD_START_FRAME;
      }
    }
    uint32_t frames = (transfer->packetCount * transfer->intervalMicroframes + kMicroframesPerFrame - 1) /
                      kMicroframesPerFrame;
    m_nextAsapFrame[key] = transfer->startFrame + frames;
    transfer->m_firstMicroframe = MicroframeOfFrame(transfer->startFrame);
    transfer->m_nextPacket = 0;
    transfer->m_held = TakeHoldLocked(*transfer);
    transfer->m_heldUntil = m_holdUntil;
    for (uint32_t i = 0; i < transfer->packetCount; ++i) transfer->packets[i].status = USBD_STATUS_PENDING;
    MarkLatePacketsLocked(*transfer, MicroframeOfFrame(current + m_threshold));
    PrepareFetchLocked(*transfer, CurrentMicroframe());
    m_iso.push_back(transfer);
  } else if (transfer->kind == TransferKind::Control) {
    transfer->m_inFlight = false;
    m_waiting.push_back(transfer);
    if (port.controlQueue.empty() && port.controlBusyUntil <= now) {
      ServeControlLocked(*transfer, now);
    } else {
      port.controlQueue.push_back(transfer);
    }
  } else {
    m_waiting.push_back(transfer);
    ServeBulkLocked(*transfer, now);
  }
  if (m_capture != nullptr) m_capture->Submitted(m_busNumber, portNumber, *transfer, now);
  lock.unlock();
  Wake();
  return USBD_STATUS_PENDING;
}

void HostController::ServeBulkLocked(Transfer &transfer, VTime now) {
  Port &port = m_ports[transfer.m_port];
  bool in = IsIn(transfer.endpoint);
  TransferOutcome outcome =
      in ? port.device->BulkOrInterruptIn(transfer.endpoint, now, transfer.buffer, transfer.length)
         : port.device->BulkOrInterruptOut(transfer.endpoint, now, transfer.buffer, transfer.length);
  if (outcome.handshake == Handshake::Nak) {
    transfer.m_parked = true;
    return;
  }
  transfer.m_parked = false;
  transfer.status = UsbdStatusOf(outcome.handshake, in);
  transfer.actualLength = outcome.handshake == Handshake::Ack ? std::min(outcome.length, transfer.length) : 0;
  std::erase(m_waiting, &transfer);
  // The data moved in the next service opportunity: the end of this microframe.
  QueueDoneLocked(&transfer, (now / kMicroframeTicks + 1) * kMicroframeTicks);
}

void HostController::RetryParkedLocked(VTime now) {
  std::vector<Transfer *> parked;
  for (Transfer *transfer : m_waiting) {
    if (transfer->kind == TransferKind::Bulk || transfer->kind == TransferKind::Interrupt) parked.push_back(transfer);
  }
  for (Transfer *transfer : parked) ServeBulkLocked(*transfer, now);
}

void HostController::ServeIsoPacketLocked(Transfer &transfer) {
  Port &port = m_ports[transfer.m_port];
  uint32_t i = transfer.m_nextPacket++;
  IsoPacket &packet = transfer.packets[i];
  uint64_t microframe = IsoMicroframeOf(transfer, i);
  uint32_t room = PacketRoom(transfer, i);
  bool in = IsIn(transfer.endpoint);
  if (TakeIsoFaultLocked(m_missIso, transfer.endpoint, m_missEndpoint)) {
    ++m_missedIso;
    packet.status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    if (in) packet.length = 0;
    ++transfer.errorCount;
    return;
  }
  TransferOutcome outcome =
      in ? port.device->IsoIn(transfer.endpoint, microframe, transfer.buffer + packet.offset, room)
         : port.device->IsoOut(transfer.endpoint, microframe, OutDataLocked(transfer, i, room), room);
  packet.status = UsbdStatusOf(outcome.handshake, in);
  if (outcome.handshake == Handshake::Nak) packet.status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
  // An isochronous OUT packet has no handshake: whatever became of it at
  // the device, the host sent it all.
  if (!in && !m_outLossVisible) {
    packet.status = USBD_STATUS_SUCCESS;
    outcome.length = room;
  }
  if (in && TakeIsoFaultLocked(m_babbleIso, transfer.endpoint, m_babbleEndpoint)) {
    ++m_babbledIso;
    packet.status = USBD_STATUS_BABBLE_DETECTED;  // nothing of it is kept
  }
  uint32_t moved = packet.status == USBD_STATUS_SUCCESS ? std::min(outcome.length, room) : 0;
  // A damaged IN packet (CRC error) still reports the bytes that arrived;
  // only the status says they are not to be trusted.
  if (in) packet.length = outcome.handshake == Handshake::Error ? std::min(outcome.length, room) : moved;
  transfer.actualLength += moved;
  if (packet.status != USBD_STATUS_SUCCESS) ++transfer.errorCount;
}

// Serves every isochronous packet scheduled before microframeLimit, in bus
// order: microframe by microframe, endpoints in submission order.
void HostController::RunIsoUntilLocked(uint64_t microframeLimit) {
  for (Transfer *transfer : m_iso) FetchDueLocked(*transfer, microframeLimit);
  for (;;) {
    uint64_t next = UINT64_MAX;
    for (Transfer *transfer : m_iso) {
      if (transfer->m_nextPacket < transfer->packetCount) {
        next = std::min(next, IsoMicroframeOf(*transfer, transfer->m_nextPacket));
      }
    }
    if (next >= microframeLimit) break;
    for (Transfer *transfer : m_iso) {
      if (transfer->m_nextPacket < transfer->packetCount && IsoMicroframeOf(*transfer, transfer->m_nextPacket) == next) {
        ServeIsoPacketLocked(*transfer);
      }
    }
    m_servedThrough = next + 1;
  }
  for (auto it = m_iso.begin(); it != m_iso.end();) {
    Transfer *transfer = *it;
    if (transfer->m_nextPacket < transfer->packetCount) {
      ++it;
      continue;
    }
    it = m_iso.erase(it);
    transfer->status = transfer->errorCount < transfer->packetCount ? USBD_STATUS_SUCCESS
                       : transfer->m_lateBefore == transfer->packetCount ? USBD_STATUS_BAD_START_FRAME
                                                                         : USBD_STATUS_ISOCH_REQUEST_FAILED;
    if (transfer->m_held) {
      m_held.push_back(transfer);
      continue;
    }
    QueueDoneLocked(transfer, DueAfterFrameOf(IsoMicroframeOf(*transfer, transfer->packetCount - 1)));
  }
}

// A transfer is returned once the frame holding its last packet has ended.
VTime HostController::DueAfterFrameOf(uint64_t lastMicroframe) {
  uint64_t frameEnd = (lastMicroframe / kMicroframesPerFrame + 1) * kMicroframesPerFrame;
  return TimeOfMicroframe(frameEnd);
}

// With several lanes, a device's OUT and IN endpoints of one number land on
// different lanes; which lane takes which is drawn at start.
HostController::Lane &HostController::LaneOfLocked(const Transfer &transfer) {
  uint32_t key = (transfer.endpoint & 0x0F) * 2u + (IsIn(transfer.endpoint) ? 1u : 0u) + m_laneShift;
  return *m_lanes[key % m_lanes.size()];
}

void HostController::QueueDoneLocked(Transfer *transfer, VTime due) {
  Lane &lane = LaneOfLocked(*transfer);
  if (m_latency) due += std::max<VTime>(0, m_latency(m_random));
  due = std::max(due, lane.lastDue);  // a late DPC delays everything queued behind it
  lane.lastDue = due;
  transfer->m_due = due;
  lane.done.emplace(due, transfer);
}

bool HostController::RemovePendingLocked(Transfer *transfer) {
  auto iso = std::find(m_iso.begin(), m_iso.end(), transfer);
  if (iso != m_iso.end()) {
    m_iso.erase(iso);
    return true;
  }
  auto waiting = std::find(m_waiting.begin(), m_waiting.end(), transfer);
  if (waiting != m_waiting.end()) {
    m_waiting.erase(waiting);
    if (transfer->kind == TransferKind::Control) ReleaseDefaultPipeLocked(*transfer, m_scheduler->Now());
    return true;
  }
  auto held = std::find(m_held.begin(), m_held.end(), transfer);
  if (held != m_held.end()) {
    m_held.erase(held);
    return true;
  }
  return false;
}

void HostController::FailPendingLocked(int port, int32_t status, bool onlyEndpoint, uint8_t endpoint) {
  std::vector<Transfer *> victims;
  for (Transfer *transfer : m_iso) victims.push_back(transfer);
  for (Transfer *transfer : m_waiting) victims.push_back(transfer);
  for (Transfer *transfer : m_held) victims.push_back(transfer);
  VTime now = m_scheduler != nullptr ? m_scheduler->Now() : 0;
  for (Transfer *transfer : victims) {
    if (transfer->m_port != port || (onlyEndpoint && transfer->endpoint != endpoint)) continue;
    RemovePendingLocked(transfer);
    transfer->status = status;
    QueueDoneLocked(transfer, now);
  }
  if (onlyEndpoint) m_nextAsapFrame.erase({port, endpoint});
}

bool HostController::Cancel(Transfer *transfer) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    RunIsoUntilLocked(CurrentMicroframe());  // packets already due were served before the cancel
    if (CancelInFlightControlLocked(transfer, m_scheduler->Now())) {
      Wake();
      return true;
    }
    if (!RemovePendingLocked(transfer)) return false;
    transfer->status = USBD_STATUS_CANCELED;
    QueueDoneLocked(transfer, m_scheduler->Now());
  }
  Wake();
  return true;
}

void HostController::AbortEndpoint(int port, uint8_t endpoint) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    RunIsoUntilLocked(CurrentMicroframe());
    FailPendingLocked(port, USBD_STATUS_CANCELED, true, endpoint);
  }
  Wake();
}

VTime HostController::NextWakeLocked(const Lane &lane) const {
  VTime next = kInfinite;
  if (!lane.done.empty()) next = lane.done.begin()->first;
  for (const Transfer *transfer : m_iso) {
    uint64_t last = IsoMicroframeOf(*transfer, transfer->packetCount - 1);
    uint64_t frameEnd = (last / kMicroframesPerFrame + 1) * kMicroframesPerFrame;
    next = std::min(next, TimeOfMicroframe(frameEnd));
  }
  for (const Transfer *transfer : m_held) next = std::min(next, transfer->m_heldUntil);
  for (const Transfer *transfer : m_iso) {
    if (transfer->m_fetches && transfer->m_nextFetch < transfer->packetCount) {
      next = std::min(next, TimeOfMicroframe(FetchPointOf(*transfer, transfer->m_nextFetch)));
    }
  }
  return std::min(next, NextControlWakeLocked());
}

void HostController::Wake() {
  if (!m_started) return;
  for (auto &lane : m_lanes) KeSetEvent(&lane->wake, IO_NO_INCREMENT, FALSE);
}

void HostController::DeliverLocked(Transfer *transfer, VTime now, std::unique_lock<std::mutex> &lock) {
  ++m_completed;
  transfer->m_inFlight = false;
  if (m_capture != nullptr) m_capture->Completed(m_busNumber, transfer->m_port, *transfer, now);
  uint8_t endpoint = transfer->endpoint;
  int port = transfer->m_port;
  lock.unlock();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  uint64_t cpu = ThreadCpuNs();
  if (transfer->onComplete) transfer->onComplete(*transfer);
  cpu = ThreadCpuNs() - cpu;
  KeLowerIrql(old);
  char what[96];
  std::snprintf(what, sizeof what, "completion of a transfer of endpoint 0x%02x, bus %u port %d", endpoint,
                m_busNumber, port);
  DispatchCpu::Instance().Record(DispatchWork::UrbCompletion, cpu, what, std::source_location::current());
  lock.lock();
}

// A completion context: every lane serves the schedule up to now (whichever
// gets there first does it), then returns its own due transfers at
// DISPATCH_LEVEL in due order, then sleeps to the next event.
void HostController::Loop(Lane *lane) {
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_stopping || !lane->done.empty()) {
    VTime now = m_scheduler->Now();
    RunIsoUntilLocked(CurrentMicroframe());
    ReleaseHeldLocked(now);
    StartQueuedControlLocked(now);
    if (m_dataReady.exchange(false)) RetryParkedLocked(now);
    while (!lane->done.empty() && lane->done.begin()->first <= now) {
      Transfer *transfer = lane->done.begin()->second;
      lane->done.erase(lane->done.begin());
      DeliverLocked(transfer, now, lock);
    }
    if (m_stopping && lane->done.empty()) break;
    VTime wake = NextWakeLocked(*lane);
    lock.unlock();
    if (wake == kInfinite) {
      KeWaitForSingleObject(&lane->wake, Executive, KernelMode, FALSE, nullptr);
    } else {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -std::max<VTime>(wake - m_scheduler->Now(), 0);
      if (timeout.QuadPart != 0) KeWaitForSingleObject(&lane->wake, Executive, KernelMode, FALSE, &timeout);
    }
    lock.lock();
  }
}

}  // namespace winsim::usb
