// An ASIO host's side of the driver: finding the installed ASIO drivers as
// hosts do (HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\<name>, its "CLSID" value),
// creating one through COM with its CLSID as class and interface id, and
// the callbacks a host hands to createBuffers. The same code runs on Windows
// and on the simulated machine.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "uac2common/asiodriver/asio_interface.h"

namespace qav {

struct AsioDriverEntry {
  std::string name;   // the subkey's name, what hosts list
  std::string clsid;  // the "CLSID" value, brace form
  std::string description;
};

// The ASIO drivers registered on the machine, in registry order; a subkey
// without a readable "CLSID" value is left out, as hosts leave it out.
std::vector<AsioDriverEntry> FindAsioDrivers();

// The entry named `name` (without regard to case); else the first; null
// when there is none.
const AsioDriverEntry *ChooseAsioDriver(const std::vector<AsioDriverEntry> &drivers, const std::string &name);

// One driver object, created by CLSID and released with this object. The
// calling thread must have entered COM.
class CAsioDriver {
 public:
  CAsioDriver() = default;
  ~CAsioDriver();
  CAsioDriver(const CAsioDriver &) = delete;
  CAsioDriver &operator=(const CAsioDriver &) = delete;

  // False with *error set (one line) when the CLSID does not parse or COM
  // does not create the object.
  bool Create(const AsioDriverEntry &entry, std::string *error);
  IASIO *operator->() const { return m_driver; }
  IASIO *Get() const { return m_driver; }

 private:
  IASIO *m_driver = nullptr;
};

// The host's callbacks. ASIO callbacks carry no context, so one host at a
// time: the newest living CAsioHost receives them.
class CAsioHost {
 public:
  CAsioHost();
  ~CAsioHost();
  CAsioHost(const CAsioHost &) = delete;
  CAsioHost &operator=(const CAsioHost &) = delete;

  ASIOCallbacks *Callbacks() { return &m_callbacks; }
  // Runs in every buffer switch on the driver's streaming thread with the
  // switch's number from 0; set it only while the driver is stopped.
  std::function<void(uint32_t switchNumber)> onSwitch;

  void Reset();
  uint32_t Switches() const { return m_switches.load(); }
  uint32_t Overloads() const { return m_overloads.load(); }
  uint32_t ResetRequests() const { return m_resets.load(); }
  uint32_t LatencyChanges() const { return m_latencyChanges.load(); }
  // Waits (Sleep, so virtual time on the simulated machine) until `count`
  // switches happened; false after `ms` without them.
  bool WaitForSwitches(uint32_t count, uint32_t ms) const;

 private:
  static void BufferSwitch(LONG index, ASIOBool directProcess);
  static void SampleRateDidChange(ASIOSampleRate rate);
  static LONG AsioMessage(LONG selector, LONG value, void *message, double *opt);
  static ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, LONG index, ASIOBool directProcess);
  void Switch();

  ASIOCallbacks m_callbacks;
  std::atomic<uint32_t> m_switches{0};
  std::atomic<uint32_t> m_overloads{0};
  std::atomic<uint32_t> m_resets{0};
  std::atomic<uint32_t> m_latencyChanges{0};
};

// What `qav asio info` shows; read after init, and after createBuffers
// with the preferred size so the latencies are the ones streaming has.
struct AsioInfo {
  std::string registryName;
  std::string name;
  LONG version = 0;
  std::vector<ASIOChannelInfo> inputs, outputs;
  LONG minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
  double rate = 0;
  std::vector<uint32_t> rates;  // of kUsualRates, the ones canSampleRate accepts
  std::vector<ASIOClockSource> clocks;
  LONG inputLatency = 0, outputLatency = 0;
  LONG latencyBufferSize = 0;  // the buffer size the latencies are for
};

extern const uint32_t kUsualRates[8];

// init … disposeBuffers on a created driver; false with *error set (one
// line) on the first call that failed.
bool ReadAsioInfo(IASIO *driver, CAsioHost &host, AsioInfo *info, std::string *error);
std::vector<std::string> DescribeAsioInfo(const AsioInfo &info);
const char *SampleTypeName(LONG type);

}  // namespace qav
