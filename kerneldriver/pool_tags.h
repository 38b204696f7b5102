// Pool tags of the driver. Each is the four characters as they lie in memory,
// so pool tools and winsim's leak report show them in the order written here.
// Every allocation of the driver uses one of these; memory is freed with the
// tag it was allocated with.
#pragma once
#include "kerneldriver/kernel_headers.h"

constexpr ULONG QavPoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

// Driver objects: device context, streams, control object, interfaces, pipes, filter descriptor.
inline constexpr ULONG kTagObject = QavPoolTag('K', 'C', 'N', 'w');
// General buffers: descriptors, URBs, transfer buffers, registry query buffers, strings.
inline constexpr ULONG kTagBuffer = QavPoolTag('W', 'b', 'r', 'k');
// Hardware-id strings and small work-item contexts.
inline constexpr ULONG kTagSmall = QavPoolTag('F', 'n', 'D', 'e');
// A pin's copy of its wave format.
inline constexpr ULONG kTagWaveFormat = QavPoolTag('W', 'F', 'E', 'X');
// Lookaside list of a pin's pending-buffer entries.
inline constexpr ULONG kTagPinRegions = QavPoolTag('l', 's', 'b', 'a');
// Lookaside list of MIDI capture entries.
inline constexpr ULONG kTagMidiEntries = QavPoolTag('g', 's', 'm', 'm');
// Registry path buffers of the endpoint-format update.
inline constexpr ULONG kTagEndpointPath = QavPoolTag('U', 'n', 'i', 'c');
// Key-name buffer of the endpoint-format update.
inline constexpr ULONG kTagEndpointKeyName = QavPoolTag('R', 'p', 'l', 'x');
// The device's remove lock.
inline constexpr ULONG kTagRemoveLock = QavPoolTag('R', 'm', 'O', 'v');

static_assert(kTagObject == 0x774E434B, "tags are stored least significant byte first");
