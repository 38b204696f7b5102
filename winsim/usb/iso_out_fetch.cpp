// The host controller's isochronous extras: when OUT data is read from the
// submitter's buffer, packets late at submission, and the faults of the
// controller itself (missed service intervals, babble).
#include <usb.h>

#include <algorithm>
#include <cstring>

#include "winsim/usb/host_controller.h"

namespace winsim::usb {
namespace {

constexpr uint32_t kMicroframesPerFrame = 8;

uint32_t PacketRoom(const Transfer &transfer, uint32_t i) {
  uint32_t end = i + 1 < transfer.packetCount ? transfer.packets[i + 1].offset : transfer.length;
  return end - transfer.packets[i].offset;
}

}  // namespace

void HostController::SetOutFetch(OutFetch mode, uint32_t aheadMicroframes) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_outFetch = mode;
  m_fetchAhead = std::min(aheadMicroframes, kMaxFetchAheadMicroframes);
}

OutFetchCounts HostController::OutFetchStats(int port, uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_fetchCounts.find({port, endpoint});
  return it == m_fetchCounts.end() ? OutFetchCounts{} : it->second;
}

void HostController::SetOutLossVisible(bool visible) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_outLossVisible = visible;
}

void HostController::SetLateStart(LateStart policy) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lateStart = policy;
}

void HostController::MissServiceIntervals(uint32_t count, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_missIso = count;
  m_missEndpoint = endpoint;
}

void HostController::BabbleIsochronousIn(uint32_t count, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_babbleIso = count;
  m_babbleEndpoint = endpoint;
}

uint64_t HostController::MissedServiceIntervals() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_missedIso;
}

uint64_t HostController::BabbledPackets() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_babbledIso;
}

bool HostController::TakeIsoFaultLocked(uint32_t &remaining, uint8_t endpoint, uint8_t onlyEndpoint) const {
  if (remaining == 0 || (onlyEndpoint != 0 && endpoint != onlyEndpoint)) return false;
  --remaining;
  return true;
}

// Packets whose microframes lie before the first one the controller can
// still schedule are never sent.
void HostController::MarkLatePacketsLocked(Transfer &transfer, uint64_t earliestMicroframe) {
  uint32_t late = 0;
  while (late < transfer.packetCount && IsoMicroframeOf(transfer, late) < earliestMicroframe) {
    transfer.packets[late].status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
    if ((transfer.endpoint & 0x80) != 0) transfer.packets[late].length = 0;
    ++late;
  }
  transfer.m_lateBefore = late;
  transfer.m_nextPacket = late;
  transfer.errorCount += late;
}

// The frame at whose start packet i is read: the frame that holds the
// microframe m_fetchAhead before the packet's.
uint64_t HostController::FetchPointOf(const Transfer &transfer, uint32_t packet) const {
  const uint64_t microframe = IsoMicroframeOf(transfer, packet);
  const uint64_t point = microframe >= transfer.m_fetchAhead ? microframe - transfer.m_fetchAhead : 0;
  return point / kMicroframesPerFrame * kMicroframesPerFrame;
}

void HostController::FetchPacketLocked(Transfer &transfer, uint32_t packet) {
  const uint32_t offset = transfer.packets[packet].offset;
  std::memcpy(transfer.m_fetched.data() + offset, transfer.buffer + offset, PacketRoom(transfer, packet));
}

void HostController::FetchDueLocked(Transfer &transfer, uint64_t currentMicroframe) {
  if (!transfer.m_fetches) return;
  while (transfer.m_nextFetch < transfer.packetCount && FetchPointOf(transfer, transfer.m_nextFetch) <= currentMicroframe) {
    FetchPacketLocked(transfer, transfer.m_nextFetch++);
  }
}

void HostController::PrepareFetchLocked(Transfer &transfer, uint64_t currentMicroframe) {
  transfer.m_fetches = (transfer.endpoint & 0x80) == 0 && m_outFetch != OutFetch::AtMicroframe;
  transfer.m_fetchAhead = m_fetchAhead;
  transfer.m_nextFetch = transfer.m_nextPacket;
  if (!transfer.m_fetches) return;
  if (m_outFetch == OutFetch::AtSubmission) {
    transfer.m_fetched.assign(transfer.buffer, transfer.buffer + transfer.length);
    transfer.m_nextFetch = transfer.packetCount;
    return;
  }
  transfer.m_fetched.resize(transfer.length);
  FetchDueLocked(transfer, currentMicroframe);
}

// The bytes that go over the bus for OUT packet i: the controller's copy
// when it fetched ahead (a packet it had not fetched yet is fetched now),
// else the buffer as it is. A copy that no longer matches the buffer went
// out stale.
const uint8_t *HostController::OutDataLocked(Transfer &transfer, uint32_t packet, uint32_t room) {
  const uint32_t offset = transfer.packets[packet].offset;
  OutFetchCounts &counts = m_fetchCounts[{transfer.m_port, transfer.endpoint}];
  if (room != 0) ++counts.packets;
  if (!transfer.m_fetches) return transfer.buffer + offset;
  while (transfer.m_nextFetch <= packet) FetchPacketLocked(transfer, transfer.m_nextFetch++);
  const uint8_t *fetched = transfer.m_fetched.data() + offset;
  if (room != 0 && std::memcmp(fetched, transfer.buffer + offset, room) != 0) ++counts.writtenAfterFetch;
  return fetched;
}

}  // namespace winsim::usb
