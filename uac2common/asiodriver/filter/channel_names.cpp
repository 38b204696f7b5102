#include "uac2common/asiodriver/filter/channel_names.h"

#include <cstring>

namespace {

constexpr UCHAR kInterfaceType = 4;
constexpr UCHAR kEndpointType = 5;
constexpr UCHAR kClassInterfaceType = 0x24;
constexpr UCHAR kStringType = 3;
constexpr UCHAR kAsGeneralSubtype = 1;
constexpr UCHAR kAudioStreamingSubClass = 2;
constexpr UCHAR kOperationalAlternate = 1;
constexpr UCHAR kEndpointDirectionIn = 0x80;
constexpr ULONG kMaxNameChars = 31;

// Descriptor field offsets.
constexpr ULONG kTotalLengthOffset = 2;
constexpr ULONG kAlternateOffset = 3;
constexpr ULONG kNumEndpointsOffset = 4;
constexpr ULONG kSubClassOffset = 6;
constexpr ULONG kEndpointAddressOffset = 2;
constexpr ULONG kSubtypeOffset = 2;
constexpr ULONG kChannelNamesOffset = 15;

struct Descriptor {
  const UCHAR *bytes;
  ULONG length;
};

// The descriptors of a configuration, each whole within the walked range.
class DescriptorWalk {
 public:
  DescriptorWalk(const UCHAR *config, ULONG size) : m_config(config), m_end(size) {
    if (size >= kTotalLengthOffset + 2) {
      const ULONG total = static_cast<ULONG>(config[kTotalLengthOffset] | (config[kTotalLengthOffset + 1] << 8));
      if (total < m_end) m_end = total;
    }
  }
  bool Next(Descriptor *out) {
    if (m_at + 2 > m_end) return false;
    const ULONG length = m_config[m_at];
    if (length < 2 || length > m_end - m_at) return false;
    *out = Descriptor{m_config + m_at, length};
    m_at += length;
    return true;
  }

 private:
  const UCHAR *m_config;
  ULONG m_end;
  ULONG m_at = 0;
};

struct StreamingInterface {
  bool active = false;
  bool sawOutEndpoint = false;
  UCHAR channelNames = 0;
};

bool IsOperationalStreamingInterface(const Descriptor &d) {
  return d.bytes[1] == kInterfaceType && d.length > kSubClassOffset &&
         d.bytes[kSubClassOffset] == kAudioStreamingSubClass && d.bytes[kAlternateOffset] == kOperationalAlternate &&
         d.bytes[kNumEndpointsOffset] > 0;
}

void Finish(const StreamingInterface &streaming, ChannelNameIndexes *indexes) {
  if (!streaming.active) return;
  (streaming.sawOutEndpoint ? indexes->render : indexes->capture) = streaming.channelNames;
}

}  // namespace

ChannelNameIndexes FindChannelNameIndexes(const UCHAR *config, ULONG size) {
  ChannelNameIndexes indexes = {0, 0};
  if (config == nullptr) return indexes;
  DescriptorWalk walk(config, size);
  StreamingInterface current;
  Descriptor d;
  while (walk.Next(&d)) {
    const UCHAR type = d.bytes[1];
    if (type == kInterfaceType) {
      Finish(current, &indexes);
      current = StreamingInterface{};
      current.active = IsOperationalStreamingInterface(d);
    } else if (!current.active) {
      continue;
    } else if (type == kEndpointType && d.length > kEndpointAddressOffset) {
      if ((d.bytes[kEndpointAddressOffset] & kEndpointDirectionIn) == 0) current.sawOutEndpoint = true;
    } else if (type == kClassInterfaceType && d.length > kChannelNamesOffset && d.bytes[kSubtypeOffset] == kAsGeneralSubtype) {
      current.channelNames = d.bytes[kChannelNamesOffset];
    }
  }
  Finish(current, &indexes);
  return indexes;
}

bool ChannelNameFromString(const UCHAR *descriptor, ULONG size, std::string *name) {
  if (descriptor == nullptr || name == nullptr || size < 2 || descriptor[1] != kStringType) return false;
  ULONG length = descriptor[0];
  if (length > size) length = size;
  if (length < 2) return false;
  ULONG chars = (length - 2) / 2;
  if (chars > kMaxNameChars) chars = kMaxNameChars;
  WCHAR wide[kMaxNameChars + 1] = {};
  ULONG used = 0;
  for (; used < chars; ++used) {
    const UCHAR *unit = descriptor + 2 + 2 * used;
    wide[used] = static_cast<WCHAR>(unit[0] | (unit[1] << 8));
    if (wide[used] == 0) break;
  }
  CHAR narrow[kMaxNameChars + 1] = {};
  if (used != 0 && !CharToOemBuffW(wide, narrow, used)) return false;
  name->assign(narrow, used);
  return true;
}
