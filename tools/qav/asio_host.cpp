#include "tools/qav/asio_host.h"

#include <cctype>
#include <cstring>

namespace qav {
namespace {

constexpr char kAsioKey[] = "SOFTWARE\\ASIO";
constexpr DWORD kMaxName = 256;

// The REG_SZ value `name` of `key`; empty when missing or of another type.
std::string StringValue(HKEY key, const char *name) {
  char data[kMaxName + 1] = {};
  DWORD bytes = kMaxName;  // one byte stays zero: the value may lack its terminator
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return std::string(data);
}

bool SameText(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The host whose callbacks run; see CAsioHost.
std::atomic<CAsioHost *> g_host{nullptr};

}  // namespace

std::vector<AsioDriverEntry> FindAsioDrivers() {
  std::vector<AsioDriverEntry> drivers;
  HKEY asio = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, &asio) != ERROR_SUCCESS) return drivers;
  // Bounded: a registry that keeps growing under us ends the walk all the same.
  for (DWORD index = 0; index < 1024; ++index) {
    char name[kMaxName] = {};
    DWORD chars = kMaxName;
    if (RegEnumKeyExA(asio, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY driver = nullptr;
    if (RegOpenKeyExA(asio, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) continue;
    AsioDriverEntry entry{name, StringValue(driver, "CLSID"), StringValue(driver, "Description")};
    RegCloseKey(driver);
    if (!entry.clsid.empty()) drivers.push_back(entry);
  }
  RegCloseKey(asio);
  return drivers;
}

const AsioDriverEntry *ChooseAsioDriver(const std::vector<AsioDriverEntry> &drivers, const std::string &name) {
  for (const AsioDriverEntry &entry : drivers) {
    if (SameText(entry.name, name)) return &entry;
  }
  return drivers.empty() ? nullptr : &drivers.front();
}

CAsioDriver::~CAsioDriver() {
  if (m_driver != nullptr) m_driver->Release();
}

bool CAsioDriver::Create(const AsioDriverEntry &entry, std::string *error) {
  // The text is a GUID in braces, plain ASCII: widened as it is.
  WCHAR text[64] = {};
  if (entry.clsid.size() >= sizeof text / sizeof text[0]) {
    *error = "the CLSID of ASIO driver '" + entry.name + "' is not a CLSID: " + entry.clsid;
    return false;
  }
  for (size_t i = 0; i < entry.clsid.size(); ++i) text[i] = static_cast<WCHAR>(static_cast<unsigned char>(entry.clsid[i]));
  CLSID clsid;
  if (FAILED(CLSIDFromString(text, &clsid))) {
    *error = "the CLSID of ASIO driver '" + entry.name + "' is not a CLSID: " + entry.clsid;
    return false;
  }
  // ASIO hosts ask for the driver's interface under its CLSID.
  void *object = nullptr;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
  if (FAILED(hr) || object == nullptr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    *error = "COM did not create ASIO driver '" + entry.name + "' " + entry.clsid + " (" + code + ")";
    return false;
  }
  m_driver = static_cast<IASIO *>(object);
  return true;
}

CAsioHost::CAsioHost() {
  m_callbacks.bufferSwitch = BufferSwitch;
  m_callbacks.sampleRateDidChange = SampleRateDidChange;
  m_callbacks.asioMessage = AsioMessage;
  m_callbacks.bufferSwitchTimeInfo = BufferSwitchTimeInfo;
  g_host.store(this);
}

CAsioHost::~CAsioHost() {
  CAsioHost *self = this;
  g_host.compare_exchange_strong(self, nullptr);
}

void CAsioHost::Reset() {
  m_switches = 0;
  m_overloads = 0;
  m_resets = 0;
  m_latencyChanges = 0;
}

bool CAsioHost::WaitForSwitches(uint32_t count, uint32_t ms) const {
  for (uint32_t waited = 0; waited < ms; waited += 10) {
    if (Switches() >= count) return true;
    Sleep(10);
  }
  return Switches() >= count;
}

void CAsioHost::Switch() {
  const uint32_t number = m_switches.load();
  if (onSwitch) onSwitch(number);
  m_switches.store(number + 1);
}

void CAsioHost::BufferSwitch(LONG, ASIOBool) {
  if (CAsioHost *host = g_host.load()) host->Switch();
}

void CAsioHost::SampleRateDidChange(ASIOSampleRate) {}

LONG CAsioHost::AsioMessage(LONG selector, LONG value, void *, double *) {
  CAsioHost *host = g_host.load();
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioLatenciesChanged ||
                     value == kAsioSupportsTimeInfo || value == kAsioOverload
                 ? 1
                 : 0;
    case kAsioEngineVersion:
      return 2;
    case kAsioSupportsTimeInfo:
      return 1;
    case kAsioResetRequest:
      if (host != nullptr) ++host->m_resets;
      return 1;
    case kAsioLatenciesChanged:
      if (host != nullptr) ++host->m_latencyChanges;
      return 1;
    case kAsioOverload:
      if (host != nullptr) ++host->m_overloads;
      return 1;
    default:
      return 0;
  }
}

ASIOTime *CAsioHost::BufferSwitchTimeInfo(ASIOTime *, LONG, ASIOBool) {
  if (CAsioHost *host = g_host.load()) host->Switch();
  return nullptr;
}

}  // namespace qav
