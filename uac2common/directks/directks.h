// The KS client library: everything the deliverables use.
#pragma once
#include "uac2common/directks/audfilter.h"
#include "uac2common/directks/audpin.h"
#include "uac2common/directks/filter.h"
#include "uac2common/directks/irptgt.h"
#include "uac2common/directks/kstrace.h"
#include "uac2common/directks/node.h"
#include "uac2common/directks/pin.h"
#include "uac2common/directks/tlist.h"
#include "uac2common/directks/util.h"
