#include "private_client.h"

#include <nt/rtl.h>

#include <algorithm>
#include <cstring>

#include "winsim/user/device_paths.h"

namespace privtest {

uint32_t CReply::U32(size_t index) const {
  uint32_t v = 0;
  if (value.size() >= (index + 1) * 4) std::memcpy(&v, value.data() + index * 4, 4);
  return v;
}

DWORD ErrorFor(NTSTATUS status) { return NT_SUCCESS(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status); }

bool Ended(const CReply &reply, NTSTATUS status) {
  if (NT_SUCCESS(status)) return reply.ok;
  return !reply.ok && reply.error == ErrorFor(status);
}

std::vector<std::string> PrivateFilterPaths(winsim::Machine &machine, PDEVICE_OBJECT pdo) {
  std::vector<std::string> paths;
  for (const winsim::DeviceInterfaceInfo &info : machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true)) {
    if (info.pdo == pdo) paths.push_back(winsim::UserInterfacePath(info));
  }
  return paths;
}

CPrivateClient::CPrivateClient(const std::string &path) {
  m_handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

CPrivateClient::~CPrivateClient() { Close(); }

void CPrivateClient::Close() {
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
  for (HANDLE event : m_events) CloseHandle(event);
  m_events.clear();
}

CReply CPrivateClient::Send(DWORD ioctl, const std::vector<uint8_t> &request, std::vector<uint8_t> value) {
  CReply reply;
  std::vector<uint8_t> in = request;
  reply.value = std::move(value);
  DWORD bytes = 0;
  reply.ok = DeviceIoControl(m_handle, ioctl, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                             reply.value.empty() ? nullptr : reply.value.data(),
                             static_cast<DWORD>(reply.value.size()), &bytes, nullptr) != FALSE;
  reply.error = reply.ok ? 0 : GetLastError();
  reply.bytes = bytes;
  return reply;
}

namespace {

std::vector<uint8_t> Identifier(const GUID &set, ULONG id, ULONG flags, const std::vector<uint8_t> &tail) {
  KSIDENTIFIER identifier{};
  identifier.Set = set;
  identifier.Id = id;
  identifier.Flags = flags;
  std::vector<uint8_t> bytes(sizeof(identifier) + tail.size());
  std::memcpy(bytes.data(), &identifier, sizeof(identifier));
  std::copy(tail.begin(), tail.end(), bytes.begin() + sizeof(identifier));
  return bytes;
}

}  // namespace

CReply CPrivateClient::Property(ULONG id, ULONG flags, std::vector<uint8_t> value, const std::vector<uint8_t> &tail) {
  return Send(IOCTL_KS_PROPERTY, Identifier(KSPROPSETID_UacPrivate, id, flags, tail), std::move(value));
}

CReply CPrivateClient::GetU32(ULONG id) { return Property(id, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(4, 0xCD)); }

CReply CPrivateClient::SetU32(ULONG id, uint32_t value) { return Property(id, KSPROPERTY_TYPE_SET, Le32(value)); }

CReply CPrivateClient::Method(ULONG id, ULONG flags, const std::vector<uint8_t> &tail, std::vector<uint8_t> data) {
  return Send(IOCTL_KS_METHOD, Identifier(KSMETHODSETID_UacUsb, id, flags, tail), std::move(data));
}

HANDLE CPrivateClient::EnableEvent(const GUID &set, ULONG id, DWORD *error, ULONG dataLength) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto data = std::make_unique<uint8_t[]>(std::max<size_t>(dataLength, sizeof(KSEVENTDATA)));
  KSEVENTDATA eventData{};
  eventData.NotificationType = KSEVENTF_EVENT_HANDLE;
  eventData.EventHandle.Event = event;
  std::memcpy(data.get(), &eventData, sizeof(eventData));
  std::vector<uint8_t> request = Identifier(set, id, KSEVENT_TYPE_ENABLE, {});
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(m_handle, IOCTL_KS_ENABLE_EVENT, request.data(), static_cast<DWORD>(request.size()),
                            data.get(), dataLength, &bytes, nullptr);
  if (error != nullptr) *error = ok ? 0 : GetLastError();
  if (!ok) {
    CloseHandle(event);
    return nullptr;
  }
  m_eventData.push_back(std::move(data));
  m_events.push_back(event);
  return event;
}

bool CPrivateClient::Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return std::vector<uint8_t>(bytes); }

std::vector<uint8_t> IndexTail(uint32_t index) {
  std::vector<uint8_t> tail = Le32(index);
  tail.resize(8, 0);
  return tail;
}

std::unique_ptr<CPrivateClient> PrivateTest::Connect() { return ConnectTo(machine, pdo); }

void PrivateTest::PlugLarchWithHighRateThirdClock() {
  winsim::devices::DeviceModel model = dstest::Model("Larch");
  ASSERT_GE(model.clocks.size(), 3u);
  model.clocks[2].rates = {88200, 176400};
  model.clocks[2].subranges.clear();
  Plug(dstest::Build(model));
}

std::unique_ptr<CPrivateClient> ConnectTo(winsim::Machine &machine, PDEVICE_OBJECT pdo) {
  std::vector<std::string> paths = PrivateFilterPaths(machine, pdo);
  if (paths.empty()) return nullptr;
  auto client = std::make_unique<CPrivateClient>(paths[0]);
  if (!client->IsOpen()) return nullptr;
  return client;
}

}  // namespace privtest
