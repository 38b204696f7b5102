#include "uac2common/asiodriver/com_module.h"

HMODULE g_hInst = nullptr;
char g_szModulePath[MAX_PATH] = {};
volatile LONG g_cActiveObjects = 0;
LONG g_cServerLocks = 0;
