// `qav mode [recording|balanced|mixing]`: the USB performance mode, which is
// the driver's URB size (1, 3 or 5 ms of audio per isochronous transfer).
// The driver refuses a size below the smallest one it measured the machine
// to sustain when the device started; that refusal is explained, not just
// reported.
#include "tools/qav/command_args.h"
#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

std::string Ms(ULONG value) { return std::to_string(value) + " ms"; }

std::string Describe(ULONG urbSize, ULONG minimum) {
  return "mode: " + ModeName(urbSize) + " (" + Ms(urbSize) + " per USB transfer; this machine sustains " +
         Ms(minimum) + " and more)";
}

}  // namespace

int RunMode(CConsole &console, const Args &args) {
  std::optional<uint32_t> wanted;
  if (!args.empty() && !(wanted = ParseMode(args[0]))) {
    console.Err("unknown mode '" + args[0] + "': choose recording, balanced or mixing");
    return kExitUsage;
  }
  CQavDevice device;
  std::string error;
  if (!device.Open(&error)) {
    console.Err(error);
    return kExitFailed;
  }
  ULONG minimum = 0;
  if (FAILED(device.GetU32(KSPROPERTY_UAC_MIN_URB_SIZE, &minimum))) {
    console.Err("the driver did not tell the smallest URB size it accepts");
    return kExitFailed;
  }
  if (wanted && FAILED(device.SetU32(KSPROPERTY_UAC_URB_SIZE, *wanted))) {
    if (*wanted < minimum) {
      const std::string fits = ModesFrom(minimum);
      console.Err(args[0] + " mode needs " + Ms(*wanted) + " per USB transfer, but the driver takes no less than " +
                  Ms(minimum) + " on this machine (what it found the USB keeps up with when the device started)" +
                  (fits.empty() ? ": no mode fits" : ": choose " + fits));
    } else {
      console.Err("the driver refused " + args[0] + " mode (" + Ms(*wanted) + " per USB transfer)");
    }
    return kExitFailed;
  }
  ULONG urbSize = 0;
  if (FAILED(device.GetU32(KSPROPERTY_UAC_URB_SIZE, &urbSize))) {
    console.Err("the driver did not tell its URB size");
    return kExitFailed;
  }
  console.Out(Describe(urbSize, minimum));
  return kExitOk;
}

}  // namespace qav
