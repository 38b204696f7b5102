// Where the PnP manager keeps a device's state in the registry, and the
// helpers that read and write it. Paths are absolute kernel paths.
#pragma once
#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

#include "winsim/kernel/registry_store.h"

namespace winsim::pnp {

inline constexpr char16_t kEnumRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t kClassRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class";
inline constexpr char16_t kDeviceClassesRoot[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";
inline constexpr char16_t kServicesRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr char16_t kHardwareProfileRoot[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet";
inline constexpr char16_t kDeviceParameters[] = u"Device Parameters";

std::u16string EnumKeyPath(const std::u16string &instancePath);
std::u16string ClassKeyPath(const GUID &classGuid);

NTSTATUS CreateKeyPath(const std::u16string &path, bool isVolatile = false);
NTSTATUS WriteString(const std::u16string &path, const std::u16string &name, const std::u16string &value);
NTSTATUS WriteMultiString(const std::u16string &path, const std::u16string &name,
                          const std::vector<std::u16string> &values);
NTSTATUS WriteDword(const std::u16string &path, const std::u16string &name, DWORD value);
std::optional<std::u16string> ReadString(const std::u16string &path, const std::u16string &name);

// Opens the key (creating it and its parents when missing) as a kernel
// handle with DesiredAccess, for the Io* calls that hand out device keys.
NTSTATUS OpenKeyHandle(const std::u16string &path, ACCESS_MASK desiredAccess, PHANDLE handle);

// The first NNNN (0000-9999) not yet used below the class key.
std::optional<std::u16string> FreeDriverKeyIndex(const GUID &classGuid);

}  // namespace winsim::pnp
