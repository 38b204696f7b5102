// Kernel-mode API of the host build: the subset of the WDK's wdm.h that the
// driver calls, implemented by winsim. Each concern has its own header below.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <nt/ke.h>
#include <nt/ex.h>
#include <nt/po.h>
#include <nt/io.h>
#include <nt/pnp.h>
#include <nt/rtl.h>
#include <nt/zw.h>
#include <nt/ob.h>
