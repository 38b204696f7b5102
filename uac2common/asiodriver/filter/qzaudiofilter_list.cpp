#include "uac2common/asiodriver/filter/qzaudiofilter_list.h"

CQZAudioFilterList::CQZAudioFilterList() : TKsFilterList<CQZAudioFilter>(GUID_DEVINTERFACE_UacClient) {}
