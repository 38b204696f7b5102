// UTF-8 <-> UTF-16 conversion for registry text files.
#pragma once
#include <string>
#include <string_view>

namespace winsim {

// False when s holds an unpaired surrogate (it has no UTF-8 form).
bool Utf16ToUtf8(std::u16string_view s, std::string *out);

// False on malformed UTF-8 (truncated or overlong sequences, encoded
// surrogates, code points above U+10FFFF); *badOffset is the offending byte.
bool Utf8ToUtf16(std::string_view s, std::u16string *out, size_t *badOffset);

}  // namespace winsim
