// Channel names in USB Audio Class 2.0 descriptors: which string descriptor
// index the streaming interfaces name their first channel with, and the
// string descriptor's text.
#pragma once
#include <string>

#include "uac2common/directks/ksplatform.h"

struct ChannelNameIndexes {
  UCHAR render;   // iChannelNames of the last render streaming interface, 0 for none
  UCHAR capture;  // the same for capture
};

// Walks a configuration descriptor of `size` readable bytes. Only operational
// alternate settings (1) of audio streaming interfaces with endpoints count;
// an interface with an OUT endpoint is a render interface. The walk ends at
// wTotalLength, at the readable size and at a descriptor whose length is 0 or
// runs past either.
ChannelNameIndexes FindChannelNameIndexes(const UCHAR *config, ULONG size);

// The text of a string descriptor of `size` readable bytes (at most 31
// characters, bounded by bLength and the readable bytes), converted to the
// OEM code page. False for a buffer that holds no string descriptor.
bool ChannelNameFromString(const UCHAR *descriptor, ULONG size, std::string *name);
