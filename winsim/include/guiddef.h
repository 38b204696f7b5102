// GUID and its helpers, laid out as on Windows (16 bytes, little-endian fields).
#pragma once
#include <basetsd.h>
#include <string.h>

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *REFGUID_PTR;
typedef GUID IID, CLSID;
typedef const GUID &REFGUID;
typedef const GUID &REFIID;
typedef const GUID &REFCLSID;
static_assert(sizeof(GUID) == 16, "GUID layout");

// On the host every GUID is a C++ inline constant: one definition however
// many translation units include the header, so INITGUID is not needed.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

inline bool IsEqualGUID(const GUID &a, const GUID &b) {
  return memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID &a, const GUID &b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
