// The test COM server's class and what it reports about itself.
#pragma once
#include <objbase.h>

// {5E0B3F3C-8F1D-4C55-9A3B-6C2D1E0F4A71}
inline constexpr GUID CLSID_TestServerObject = {0x5e0b3f3c, 0x8f1d, 0x4c55, {0x9a, 0x3b, 0x6c, 0x2d, 0x1e, 0x0f, 0x4a, 0x71}};

// Its exports beside the COM ones.
typedef const char *(*TestServerPathFn)(void);   // the path DllMain got from GetModuleFileNameA
typedef LONG (*TestServerAttachesFn)(void);       // DLL_PROCESS_ATTACH calls minus DETACH calls
typedef LONG (*TestServerObjectsFn)(void);        // live objects
