#include "kerneldriver/ks/filter_descriptor.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/audio_intersection.h"
#include "kerneldriver/ks/filter_automation.h"
#include "kerneldriver/midi/midi_pin_dispatch.h"
#include "kerneldriver/ks/pin/audio_pin_dispatch.h"

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
QAV_DEFINE_GUID(kFormatTypeMusic, STATIC_KSDATAFORMAT_TYPE_MUSIC);
QAV_DEFINE_GUID(kSubtypeMidi, STATIC_KSDATAFORMAT_SUBTYPE_MIDI);
QAV_DEFINE_GUID(kSubtypeMidiBus, STATIC_KSDATAFORMAT_SUBTYPE_MIDI_BUS);
QAV_DEFINE_GUID(kTechnologyPort, STATIC_KSMUSIC_TECHNOLOGY_PORT);
QAV_DEFINE_GUID(kCategoryUsePinName, STATIC_KSCATEGORY_WDMAUD_USE_PIN_NAME);
QAV_DEFINE_GUID(kNameMidi, STATIC_KSAUDFNAME_MIDI);

constexpr ULONG kStreamingPinFlags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                                     KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FIXED_FORMAT;
constexpr ULONG kMidiPinFlags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FIXED_FORMAT;
// Every MIDI channel of the port.
constexpr ULONG kMidiChannelMask = 0xFFFF;

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
  d->midiRange.DataRange.FormatSize = sizeof(KSDATARANGE_MUSIC);
  d->midiRange.DataRange.MajorFormat = kFormatTypeMusic;
  d->midiRange.DataRange.SubFormat = kSubtypeMidi;
  d->midiRange.DataRange.Specifier = kSpecifierNone;
  d->midiRange.Technology = kTechnologyPort;
  d->midiRange.ChannelMask = kMidiChannelMask;
  d->midiBridgeRange.FormatSize = sizeof(KSDATARANGE);
  d->midiBridgeRange.MajorFormat = kFormatTypeMusic;
  d->midiBridgeRange.SubFormat = kSubtypeMidiBus;
  d->midiBridgeRange.Specifier = kSpecifierNone;
  d->midiRangeList[0] = &d->midiRange.DataRange;
  d->midiBridgeRangeList[0] = &d->midiBridgeRange;
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
  filter.Dispatch = &kFilterDispatch;
  filter.AutomationTable = &kFilterAutomation;
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
  pin.IntersectHandler = AudioIntersectHandler;
  pin.Dispatch = &kAudioPinDispatch;
  pin.AutomationTable = &kAudioPinAutomation;
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

void FillMidiPin(DynamicFilterDescriptor *d, KSPIN_DESCRIPTOR_EX &pin, MidiEndpointDirection endpoint) {
  KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  p.DataRangesCount = 1;
  p.DataRanges = d->midiRangeList;
  p.DataFlow = endpoint == MidiEndpointDirection::In ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
  p.Communication = KSPIN_COMMUNICATION_SINK;
  p.Category = &kCategoryUsePinName;
  p.Name = &kNameMidi;
  pin.Dispatch = &kMidiPinDispatch;
  pin.Flags = kMidiPinFlags;
  pin.InstancesPossible = KSINSTANCE_INDETERMINATE;
  pin.InstancesNecessary = 0;
}

void FillMidiBridgePin(DynamicFilterDescriptor *d, KSPIN_DESCRIPTOR_EX &pin, MidiEndpointDirection endpoint) {
  KSPIN_DESCRIPTOR &p = pin.PinDescriptor;
  p.DataRangesCount = 1;
  p.DataRanges = d->midiBridgeRangeList;
  p.DataFlow = endpoint == MidiEndpointDirection::In ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
  p.Communication = KSPIN_COMMUNICATION_NONE;
  p.Category = &kCategoryAudio;
  p.Name = &kNameMidi;
  pin.InstancesPossible = KSINSTANCE_INDETERMINATE;
}

bool Fits(const KSFILTER_DESCRIPTOR &filter, ULONG pins, ULONG nodes, ULONG connections) {
  return filter.PinDescriptorsCount + pins <= kFilterMaxPins && filter.NodeDescriptorsCount + nodes <= kFilterMaxNodes &&
         filter.ConnectionsCount + connections <= kFilterMaxConnections;
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

bool FilterDescriptorAddAudioDirection(DynamicFilterDescriptor *d, AudioDirection direction) {
  KSFILTER_DESCRIPTOR &filter = d->filter;
  bool capture = direction == AudioDirection::Capture;
  if (!Fits(filter, 2, 1, 2)) {
    QAV_LOG(FilterFullAudio, static_cast<unsigned>(capture));
    return false;
  }
  ULONG pin = filter.PinDescriptorsCount;
  ULONG node = filter.NodeDescriptorsCount;
  FillStreamingPin(d, d->pins[pin], direction);
  FillBridgePin(d, d->pins[pin + 1], direction);
  filter.PinDescriptorsCount += 2;
  d->nodes[node].Type = capture ? &kNodeTypeAdc : &kNodeTypeDac;
  filter.NodeDescriptorsCount += 1;
  if (capture) {
    Connect(d, KSFILTER_NODE, pin + 1, node, 1);
    Connect(d, node, 0, KSFILTER_NODE, pin);
  } else {
    Connect(d, KSFILTER_NODE, pin, node, 1);
    Connect(d, node, 0, KSFILTER_NODE, pin + 1);
  }
  return true;
}

ULONG FilterDescriptorAddMidiCable(DynamicFilterDescriptor *d, MidiEndpointDirection endpoint) {
  KSFILTER_DESCRIPTOR &filter = d->filter;
  if (!Fits(filter, 2, 0, 1)) {
    QAV_LOG(FilterFullMidi);
    return kNoFilterPin;
  }
  ULONG pin = filter.PinDescriptorsCount;
  FillMidiPin(d, d->pins[pin], endpoint);
  FillMidiBridgePin(d, d->pins[pin + 1], endpoint);
  filter.PinDescriptorsCount += 2;
  if (endpoint == MidiEndpointDirection::In) {
    Connect(d, KSFILTER_NODE, pin + 1, KSFILTER_NODE, pin);
  } else {
    Connect(d, KSFILTER_NODE, pin, KSFILTER_NODE, pin + 1);
  }
  return pin;
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
