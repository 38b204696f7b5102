// user32 subset: text conversion to the OEM code page.
#pragma once
#include <win/windef.h>

// Converts exactly cchDstLength UTF-16 units (terminators included) to the
// OEM code page, which on the simulated machine is code page 437 (United
// States). A unit without a code page 437 character becomes '?'. Null
// source or destination: FALSE, last error ERROR_INVALID_PARAMETER, nothing
// written.
BOOL CharToOemBuffW(LPCWSTR lpszSrc, LPSTR lpszDst, DWORD cchDstLength);
