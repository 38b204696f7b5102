// Text helpers of the PnP manager: UTF-16 strings as the registry and the
// PnP IRPs carry them.
#pragma once
#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim::pnp {

// ASCII upper case, as Windows compares device names.
std::u16string Upcase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// "{4d36e96c-e325-11ce-bfc1-08002be10318}" (lower case, as Windows writes
// class and interface GUIDs into keys and links).
std::u16string GuidText(const GUID &guid);

std::u16string Widen(std::string_view text);
std::string Narrow(std::u16string_view text);

// A MULTI_SZ's bytes: each string terminated, one more terminator at the end.
std::u16string JoinMultiSz(const std::vector<std::u16string> &strings);
// Strings of a MULTI_SZ that is at most maxChars long, however it ends.
std::vector<std::u16string> SplitMultiSz(const WCHAR *text, size_t maxChars);
// A terminated string of at most maxChars characters.
std::u16string TerminatedString(const WCHAR *text, size_t maxChars);

std::u16string FromUnicodeString(const UNICODE_STRING *text);

}  // namespace winsim::pnp
