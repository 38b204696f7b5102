// Conversions between UTF-16 and the ANSI (Windows-1252) and OEM (437) code
// pages, for the characters those share with Latin-1 and ASCII respectively;
// anything else becomes '?', as a best-fit conversion would.
#include <windows.h>

#include "winsim/user/user_faults.h"

namespace {

char Narrow(char16_t c, UINT codePage) {
  const char16_t limit = codePage == CP_OEMCP ? 0x80 : 0x100;
  return c < limit ? static_cast<char>(c) : '?';
}

bool KnownCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_OEMCP; }

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  (void)dwFlags;
  (void)lpDefaultChar;
  if (!KnownCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (winsim::UserApiShouldFail("WideCharToMultiByte")) {
    SetLastError(1113 /* ERROR_NO_UNICODE_TRANSLATION */);
    return 0;
  }
  int count = cchWideChar;
  if (count == -1) {
    count = 0;
    while (lpWideCharStr[count] != 0) ++count;
    ++count;  // the terminating zero is converted too
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
  if (cbMultiByte == 0) return count;
  if (count > cbMultiByte) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    lpMultiByteStr[i] = Narrow(lpWideCharStr[i], CodePage);
    if (lpMultiByteStr[i] == '?' && lpWideCharStr[i] != u'?' && lpUsedDefaultChar != nullptr) {
      *lpUsedDefaultChar = TRUE;
    }
  }
  return count;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  (void)dwFlags;
  if (!KnownCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
      cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int count = cbMultiByte;
  if (count == -1) {
    count = 0;
    while (lpMultiByteStr[count] != '\0') ++count;
    ++count;
  }
  if (cchWideChar == 0) return count;
  if (count > cchWideChar) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    auto byte = static_cast<unsigned char>(lpMultiByteStr[i]);
    lpWideCharStr[i] = CodePage == CP_OEMCP && byte >= 0x80 ? u'?' : static_cast<char16_t>(byte);
  }
  return count;
}

