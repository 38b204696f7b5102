// CQZAudioFilterList: every present QavAudio device of the client interface
// class, each opened as a CQZAudioFilter with its pins enumerated. The list
// owns the filters; their order (GetFilter) is the device order of the ASIO
// driver.
#pragma once
#include "uac2common/asiodriver/filter/qzaudiofilter.h"
#include "uac2common/directks/filter_list.h"

class CQZAudioFilterList final : public TKsFilterList<CQZAudioFilter> {
 public:
  CQZAudioFilterList();
};
