// `qav rate [HZ]`: the device's sample rate, read from its clock, and the
// rates the clock offers. A new rate must be one of those; the driver
// refuses any change while an audio stream is open.
#include <algorithm>

#include "tools/qav/command_args.h"
#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

constexpr uint32_t kHighestRate = 768000;

// The clock's discrete rates, up to the interface's limit; empty when the
// driver gives none.
std::vector<ULONG> OfferedRates(CQavDevice &device) {
  ULONG rates[UAC_MAX_SAMPLE_RATES] = {};
  ULONG bytes = 0;
  std::vector<ULONG> offered;
  CKsFilter &filter = device.Filter();
  KSPROPERTY request{};
  request.Set = KSPROPSETID_UacPrivate;
  request.Id = KSPROPERTY_UAC_SAMPLE_RATES;
  request.Flags = KSPROPERTY_TYPE_GET;
  if (FAILED(CKsIrpTarget::SyncIoctl(filter.GetHandle(), IOCTL_KS_PROPERTY, &request, sizeof request, rates,
                                     sizeof rates, &bytes))) {
    return offered;
  }
  const ULONG count = std::min<ULONG>(bytes / sizeof(ULONG), UAC_MAX_SAMPLE_RATES);
  offered.assign(rates, rates + count);
  return offered;
}

std::string RateList(const std::vector<ULONG> &rates) {
  std::string text;
  for (ULONG rate : rates) text += (text.empty() ? "" : ", ") + std::to_string(rate);
  return text.empty() ? "none listed" : text;
}

}  // namespace

int RunRate(CConsole &console, const Args &args) {
  std::optional<uint32_t> wanted;
  if (!args.empty() && !(wanted = ParseNumber(args[0], 1, kHighestRate))) {
    console.Err("'" + args[0] + "' is not a sample rate in Hz (a whole number up to " +
                std::to_string(kHighestRate) + ")");
    return kExitUsage;
  }
  CQavDevice device;
  std::string error;
  if (!device.Open(&error)) {
    console.Err(error);
    return kExitFailed;
  }
  const std::vector<ULONG> rates = OfferedRates(device);
  if (wanted) {
    if (!rates.empty() && std::find(rates.begin(), rates.end(), *wanted) == rates.end()) {
      console.Err(std::to_string(*wanted) + " Hz is not a rate of the device's clock: " + RateList(rates));
      return kExitFailed;
    }
    if (FAILED(device.SetU32(KSPROPERTY_UAC_SAMPLE_RATE, *wanted))) {
      ULONG active = 0;
      if (SUCCEEDED(device.GetU32(KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE, &active)) && active != 0) {
        console.Err("the rate cannot change while an audio stream is open (one runs at " + std::to_string(active) +
                    " Hz)");
      } else {
        console.Err("the device did not take " + std::to_string(*wanted) + " Hz");
      }
      return kExitFailed;
    }
  }
  ULONG rate = 0;
  if (FAILED(device.GetU32(KSPROPERTY_UAC_SAMPLE_RATE, &rate)) || rate == 0) {
    console.Err("the device's clock did not tell its rate");
    return kExitFailed;
  }
  if (wanted && rate != *wanted) {
    console.Err("the device's clock runs at " + std::to_string(rate) + " Hz after it was set to " +
                std::to_string(*wanted) + " Hz");
    return kExitFailed;
  }
  console.Out("rate: " + std::to_string(rate) + " Hz");
  console.Out("rates of the clock: " + RateList(rates));
  return kExitOk;
}

}  // namespace qav
