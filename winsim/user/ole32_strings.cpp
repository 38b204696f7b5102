// ole32's GUID strings and task allocator.
#include <objbase.h>

#include <cstdio>
#include <cstdlib>

#include "winsim/user/user_faults.h"

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminating zero.
constexpr int kGuidChars = 39;

void FormatGuid(const GUID &guid, char (&text)[kGuidChars]) {
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

int HexDigit(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[*at]; false on anything else.
bool ReadHex(LPCOLESTR text, int *at, int digits, uint32_t *value) {
  *value = 0;
  for (int i = 0; i < digits; ++i, ++*at) {
    int digit = HexDigit(text[*at]);
    if (digit < 0) return false;
    *value = (*value << 4) | static_cast<uint32_t>(digit);
  }
  return true;
}

bool Expect(LPCOLESTR text, int *at, WCHAR c) { return text[(*at)++] == c; }

}  // namespace

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb != 0 ? cb : 1); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < kGuidChars) return 0;
  char text[kGuidChars];
  FormatGuid(rguid, text);
  for (int i = 0; i < kGuidChars; ++i) lpsz[i] = static_cast<WCHAR>(text[i]);
  return kGuidChars;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  *lplpsz = nullptr;
  if (winsim::UserApiShouldFail("StringFromCLSID")) return E_OUTOFMEMORY;
  auto *text = static_cast<LPOLESTR>(CoTaskMemAlloc(kGuidChars * sizeof(WCHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(rclsid, text, kGuidChars);
  *lplpsz = text;
  return S_OK;
}

// Only the brace form is taken (ProgIDs are not registered in winsim).
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
  GUID guid{};
  int at = 0;
  uint32_t value = 0;
  bool ok = Expect(lpsz, &at, u'{') && ReadHex(lpsz, &at, 8, &value);
  guid.Data1 = value;
  ok = ok && Expect(lpsz, &at, u'-') && ReadHex(lpsz, &at, 4, &value);
  guid.Data2 = static_cast<uint16_t>(value);
  ok = ok && Expect(lpsz, &at, u'-') && ReadHex(lpsz, &at, 4, &value);
  guid.Data3 = static_cast<uint16_t>(value);
  ok = ok && Expect(lpsz, &at, u'-');
  for (int i = 0; ok && i < 8; ++i) {
    if (i == 2) ok = Expect(lpsz, &at, u'-');
    ok = ok && ReadHex(lpsz, &at, 2, &value);
    guid.Data4[i] = static_cast<uint8_t>(value);
  }
  ok = ok && Expect(lpsz, &at, u'}') && lpsz[at] == 0;
  if (!ok) return CO_E_CLASSSTRING;
  *pclsid = guid;
  return S_OK;
}
