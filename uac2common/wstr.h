// Wide string literals for WCHAR. On Windows WCHAR is wchar_t (16 bits), on the
// host build it is char16_t, so a literal needs L"" on one and u"" on the other.
// QAV_W("text") is a WCHAR literal on every target; it also accepts a macro that
// expands to a narrow literal.
#pragma once

#if defined(_WIN32)
#define QAV_W_(s) L##s
#else
#define QAV_W_(s) u##s
#endif
#define QAV_W(s) QAV_W_(s)
