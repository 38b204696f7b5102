// The ASIO driver's one setting of its own: the preferred ASIO buffer size,
// kept per user under HKEY_CURRENT_USER.
#pragma once
#include <windows.h>

inline constexpr char kAsioSettingsKey[] = "software\\Tessarin\\Tessarin_UAC2Asio";
inline constexpr char kAsioBufferSizeValue[] = "AsioBufferSize";
inline constexpr DWORD kDefaultAsioBufferSize = 256;

// The stored preferred size in samples, as stored (not checked against the
// sizes getBufferSize offers); 256 when the user has none. Never creates the
// key.
DWORD ReadPreferredBufferSize();
// Stores the preferred size, creating the key if needed. A key that cannot
// be created leaves the setting as it was.
void WritePreferredBufferSize(DWORD samples);
