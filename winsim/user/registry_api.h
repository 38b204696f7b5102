// advapi32's registry functions over winsim's one registry: the key handles
// they hand out, the user each process runs as (HKEY_CURRENT_USER), and the
// conversions between the ANSI forms and the store's UTF-16 names and strings.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "winsim/kernel/registry_store.h"
#include "winsim/user/handles.h"

namespace winsim {

// An open key of a user-mode process, with the rights it was opened with.
class UserRegistryKey : public UserObject {
 public:
  UserRegistryKey(RegKeyRef key, ACCESS_MASK access) : m_key(std::move(key)), m_access(access) {}
  const char *TypeName() const override { return "Key"; }
  const RegKeyRef &Key() const { return m_key; }
  ACCESS_MASK Access() const { return m_access; }

 private:
  RegKeyRef m_key;
  ACCESS_MASK m_access;
};

// Every process runs as this user unless SetProcessUser names another.
inline constexpr char kDefaultUserSid[] = "S-1-5-21-3623811015-3361044348-30300820-1001";

// The user (a SID) a simulated process runs as; its HKEY_CURRENT_USER is
// HKEY_USERS\<SID>, created when first used, as logging on loads the profile.
void SetProcessUser(uint32_t processId, const std::string &sid);
std::string ProcessUserSid(uint32_t processId);
// Machine boot: every process runs as the default user again.
void ResetProcessUsers();

// Resolves a key handle of the calling process (an open key or a predefined
// key) to the store's key and the rights it grants. ERROR_SUCCESS or the
// Win32 error the caller gets.
LSTATUS ResolveUserKey(HKEY key, RegKeyRef *resolved, ACCESS_MASK *access);
// Opens a key of the store as an HKEY of the calling process.
HKEY InsertUserKey(RegKeyRef key, ACCESS_MASK desiredAccess);

// The Win32 error for a registry status.
LSTATUS RegistryError(NTSTATUS status);

// ANSI <-> UTF-16 as the Windows-1252 code page maps ASCII and Latin-1;
// characters outside it become '?', as a best-fit conversion does.
std::u16string WidenAnsi(std::string_view text);
std::string NarrowToAnsi(std::u16string_view text);

}  // namespace winsim
