#include "kerneldriver/ks/filter_descriptor.h"

#include "kerneldriver/kernel_support.h"

namespace {

QAV_DEFINE_GUID(kCategoryAudio, STATIC_KSCATEGORY_AUDIO);
QAV_DEFINE_GUID(kCategoryRender, STATIC_KSCATEGORY_RENDER);
QAV_DEFINE_GUID(kCategoryCapture, STATIC_KSCATEGORY_CAPTURE);
QAV_DEFINE_GUID(kNodeTypeAdc, STATIC_KSNODETYPE_ADC);
QAV_DEFINE_GUID(kNodeTypeDac, STATIC_KSNODETYPE_DAC);
QAV_DEFINE_GUID(kNodeTypeLineConnector, STATIC_KSNODETYPE_LINE_CONNECTOR);
QAV_DEFINE_GUID(kFormatTypeAudio, STATIC_KSDATAFORMAT_TYPE_AUDIO);
QAV_DEFINE_GUID(kSubtypePcm, STATIC_KSDATAFORMAT_SUBTYPE_PCM);
QAV_DEFINE_GUID(kSubtypeAnalog, STATIC_KSDATAFORMAT_SUBTYPE_ANALOG);
QAV_DEFINE_GUID(kSpecifierWaveFormatEx, STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
QAV_DEFINE_GUID(kSpecifierDsound, STATIC_KSDATAFORMAT_SPECIFIER_DSOUND);
QAV_DEFINE_GUID(kSpecifierNone, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

constexpr ULONG kStreamingPinFlags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                                     KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FIXED_FORMAT;

void InitAudioRange(KSDATARANGE_AUDIO &range, const GUID &specifier) {
  range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range.DataRange.MajorFormat = kFormatTypeAudio;
  range.DataRange.SubFormat = kSubtypePcm;
  range.DataRange.Specifier = specifier;
  range.MaximumChannels = 2;
  range.MinimumBitsPerSample = 16;
  range.MaximumBitsPerSample = 32;
  range.MinimumSampleFrequency = 44100;
  range.MaximumSampleFrequency = 48000;
}

void InitRanges(DynamicFilterDescriptor *d) {
  InitAudioRange(d->captureRanges[0], kSpecifierWaveFormatEx);
  InitAudioRange(d->captureRanges[1], kSpecifierDsound);
  InitAudioRange(d->renderRanges[0], kSpecifierWaveFormatEx);
  InitAudioRange(d->renderRanges[1], kSpecifierDsound);
  d->bridgeRange.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  d->bridgeRange.DataRange.MajorFormat = kFormatTypeAudio;
  d->bridgeRange.DataRange.SubFormat = kSubtypeAnalog;
  d->bridgeRange.DataRange.Specifier = kSpecifierNone;
  for (ULONG i = 0; i < 2; ++i) {
    d->captureRangeList[i] = &d->captureRanges[i].DataRange;
    d->renderRangeList[i] = &d->renderRanges[i].DataRange;
  }
  d->bridgeRangeList[0] = &d->bridgeRange.DataRange;
}

void InitFilter(DynamicFilterDescriptor *d) {
  d->categories[0] = kCategoryAudio;
  d->categories[1] = kCategoryRender;
  d->categories[2] = kCategoryCapture;
  d->categories[3] = KSCATEGORY_UacPrivate;
  KSFILTER_DESCRIPTOR &filter = d->filter;
  filter.Version = KSFILTER_DESCRIPTOR_VERSION;
  filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  filter.PinDescriptors = d->pins;
  filter.CategoriesCount = kFilterCategories;
  filter.Categories = d->categories;
  filter.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  filter.NodeDescriptors = d->nodes;
  filter.Connections = d->connections;
}

void FillStreamingPin(DynamicFilterDescriptor *d, KSPIN_DESCRIPTOR_EX &pin, AudioDirection direction) {
  bool capture = direction == AudioDirection::Capture;
  KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  p.DataRangesCount = 2;
  p.DataRanges = capture ? d->captureRangeList : d->renderRangeList;
  p.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
  p.Communication = KSPIN_COMMUNICATION_SINK;
  p.Category = &kCategoryAudio;
  p.Name = capture ? &kCategoryCapture : &kCategoryRender;
  pin.Flags = kStreamingPinFlags;
  pin.InstancesPossible = 1;
  pin.InstancesNecessary = 0;
}

void FillBridgePin(DynamicFilterDescriptor *d, KSPIN_DESCRIPTOR_EX &pin, AudioDirection direction) {
  KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  p.DataRangesCount = 1;
  p.DataRanges = d->bridgeRangeList;
  p.DataFlow = direction == AudioDirection::Capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
  p.Communication = KSPIN_COMMUNICATION_NONE;
  p.Category = &kNodeTypeLineConnector;
  p.Name = &kNodeTypeLineConnector;
  pin.InstancesPossible = 1;
}

void Connect(DynamicFilterDescriptor *d, ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin) {
  KSTOPOLOGY_CONNECTION &c = d->connections[d->filter.ConnectionsCount++];
  c.FromNode = fromNode;
  c.FromNodePin = fromPin;
  c.ToNode = toNode;
  c.ToNodePin = toPin;
}

KSDATARANGE_AUDIO *DirectionRanges(DynamicFilterDescriptor *d, AudioDirection direction) {
  return direction == AudioDirection::Capture ? d->captureRanges : d->renderRanges;
}

}  // namespace

DynamicFilterDescriptor *FilterDescriptorCreate() {
  // Nonpaged: ks.sys reads the pin descriptors and data ranges at DISPATCH_LEVEL while the pins process.
  auto *d = static_cast<DynamicFilterDescriptor *>(QavAllocateNonPaged(sizeof(DynamicFilterDescriptor), kTagObject));
  if (d != nullptr) FilterDescriptorReset(d);
  return d;
}

void FilterDescriptorReset(DynamicFilterDescriptor *d) {
  QavZeroMemory(d, sizeof(*d));
  InitRanges(d);
  InitFilter(d);
}

void FilterDescriptorFree(DynamicFilterDescriptor *descriptor) { QavFree(descriptor, kTagObject); }

void FilterDescriptorAddAudioDirection(DynamicFilterDescriptor *d, AudioDirection direction) {
  KSFILTER_DESCRIPTOR &filter = d->filter;
  if (filter.PinDescriptorsCount + 2 > kFilterMaxPins || filter.NodeDescriptorsCount + 1 > kFilterMaxNodes ||
      filter.ConnectionsCount + 2 > kFilterMaxConnections) {
    return;
  }
  ULONG pin = filter.PinDescriptorsCount;
  ULONG node = filter.NodeDescriptorsCount;
  FillStreamingPin(d, d->pins[pin], direction);
  FillBridgePin(d, d->pins[pin + 1], direction);
  filter.PinDescriptorsCount += 2;
  bool capture = direction == AudioDirection::Capture;
  d->nodes[node].Type = capture ? &kNodeTypeAdc : &kNodeTypeDac;
  filter.NodeDescriptorsCount += 1;
  if (capture) {
    Connect(d, KSFILTER_NODE, pin + 1, node, 1);
    Connect(d, node, 0, KSFILTER_NODE, pin);
  } else {
    Connect(d, KSFILTER_NODE, pin, node, 1);
    Connect(d, node, 0, KSFILTER_NODE, pin + 1);
  }
}

void FilterDescriptorSetChannels(DynamicFilterDescriptor *d, AudioDirection direction, ULONG channels) {
  KSDATARANGE_AUDIO *ranges = DirectionRanges(d, direction);
  ranges[0].MaximumChannels = channels;
  ranges[1].MaximumChannels = channels;
}

void FilterDescriptorSetRateLimits(DynamicFilterDescriptor *d, ULONG lowest, ULONG highest) {
  KSDATARANGE_AUDIO *all[] = {&d->captureRanges[0], &d->captureRanges[1], &d->renderRanges[0], &d->renderRanges[1]};
  for (KSDATARANGE_AUDIO *range : all) {
    range->MinimumSampleFrequency = lowest;
    range->MaximumSampleFrequency = highest;
  }
}
