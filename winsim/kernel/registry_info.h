// Encoding of the Zw* information records (KEY_VALUE_*_INFORMATION and
// KEY_*_INFORMATION) into caller buffers, with the kernel's buffer rules.
#pragma once
#include "registry_store.h"

namespace winsim {

// Every function here sets *resultLength to the full record length and then:
// - STATUS_BUFFER_TOO_SMALL, nothing written, when length cannot hold the
//   fixed part of the record;
// - STATUS_BUFFER_OVERFLOW with only the fixed part written when it cannot
//   hold the names and data that follow;
// - STATUS_SUCCESS with the whole record written otherwise.
// An information class winsim does not model is STATUS_INVALID_PARAMETER.
// buffer may be null only when length is 0.
bool IsModeledValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass);
bool IsModeledKeyInformation(KEY_INFORMATION_CLASS infoClass);
NTSTATUS FillValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass, std::u16string_view name, const RegValue &value,
                              PVOID buffer, ULONG length, PULONG resultLength);
NTSTATUS FillKeyInformation(KEY_INFORMATION_CLASS infoClass, const RegKeyInfo &info, PVOID buffer, ULONG length,
                            PULONG resultLength);

}  // namespace winsim
