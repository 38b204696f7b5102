// OLE's umbrella header: on the host build, the COM library of objbase.h.
#pragma once
#include <objbase.h>
