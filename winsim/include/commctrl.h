// comctl32 subset: registration of the common control classes that dialogs use.
#pragma once
#include <windows.h>

void InitCommonControls(void);
