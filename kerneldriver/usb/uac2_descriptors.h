// USB Audio Class 2.0 and USB-MIDI constants the driver interprets, and the
// smallest bLength at which each field it reads lies inside its descriptor. A
// descriptor shorter than that is not interpreted: the device gave too little
// to read the field from.
#pragma once
#include "kerneldriver/kernel_headers.h"

inline constexpr UCHAR kDescriptorTypeDevice = 0x01;
inline constexpr UCHAR kDescriptorTypeConfiguration = 0x02;
inline constexpr UCHAR kDescriptorTypeString = 0x03;
inline constexpr UCHAR kDescriptorTypeInterface = 0x04;
inline constexpr UCHAR kDescriptorTypeEndpoint = 0x05;
inline constexpr UCHAR kDescriptorTypeCsInterface = 0x24;
inline constexpr UCHAR kDescriptorTypeCsEndpoint = 0x25;

inline constexpr UCHAR kClassAudio = 0x01;
inline constexpr UCHAR kSubclassAudioControl = 0x01;
inline constexpr UCHAR kSubclassAudioStreaming = 0x02;
inline constexpr UCHAR kSubclassMidiStreaming = 0x03;
inline constexpr UCHAR kClassApplicationSpecific = 0xFE;
inline constexpr UCHAR kSubclassFirmwareUpdate = 0x01;

// AudioControl interface subtypes.
inline constexpr UCHAR kAcHeader = 0x01;
inline constexpr UCHAR kAcClockSource = 0x0A;
inline constexpr UCHAR kAcClockSelector = 0x0B;
inline constexpr UCHAR kAcClockMultiplier = 0x0C;
inline constexpr UCHAR kAcSampleRateConverter = 0x0D;
inline constexpr UCHAR kAcExtensionUnit = 0x09;

// AudioStreaming interface subtypes.
inline constexpr UCHAR kAsGeneral = 0x01;
inline constexpr UCHAR kAsFormatType = 0x02;
inline constexpr UCHAR kFormatTypeI = 0x01;

// Endpoint bmAttributes.
inline constexpr UCHAR kEndpointTransferMask = 0x03;
inline constexpr UCHAR kEndpointIsochronous = 0x01;
inline constexpr UCHAR kEndpointInterrupt = 0x03;
inline constexpr UCHAR kEndpointFeedbackUsage = 0x10;
inline constexpr UCHAR kEndpointDirectionIn = 0x80;
inline constexpr UCHAR kMaxIsochronousInterval = 4;

// Audio class requests and control selectors.
inline constexpr UCHAR kRequestCur = 0x01;
inline constexpr UCHAR kRequestRange = 0x02;
inline constexpr UCHAR kClockControlFrequency = 0x01;
inline constexpr UCHAR kClockControlValidity = 0x02;
inline constexpr UCHAR kSelectorControlInput = 0x01;

inline constexpr USHORT kLanguageEnglishUs = 0x0409;

// Offsets of the fields read, from the start of each descriptor.
inline constexpr ULONG kOffsetDescriptorSubtype = 2;
inline constexpr ULONG kOffsetClockId = 3;
inline constexpr ULONG kOffsetClockAttributes = 4;
inline constexpr ULONG kOffsetClockName = 7;
inline constexpr ULONG kOffsetAsChannels = 10;
inline constexpr ULONG kOffsetAsChannelNames = 15;
inline constexpr ULONG kOffsetFormatType = 3;
inline constexpr ULONG kOffsetSubslotSize = 4;
inline constexpr ULONG kOffsetFormatMaxRate = 6;
inline constexpr ULONG kOffsetMidiJackCount = 3;

// Smallest bLength that holds every field read from the descriptor.
inline constexpr UCHAR kMinClassDescriptorLength = kOffsetDescriptorSubtype + 1;
inline constexpr UCHAR kMinClockSourceLength = kOffsetClockName + 1;
inline constexpr UCHAR kMinClockSelectorLength = kOffsetClockId + 1;
inline constexpr UCHAR kMinAsGeneralLength = kOffsetAsChannelNames + 1;
inline constexpr UCHAR kMinFormatTypeLength = kOffsetSubslotSize + 1;
inline constexpr UCHAR kMinFormatWithRateLength = kOffsetFormatMaxRate + 4;
inline constexpr UCHAR kMinMidiEndpointLength = kOffsetMidiJackCount + 1;
inline constexpr UCHAR kMinInterfaceLength = sizeof(USB_INTERFACE_DESCRIPTOR);
inline constexpr UCHAR kMinEndpointLength = sizeof(USB_ENDPOINT_DESCRIPTOR);

static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7 &&
                  sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 && sizeof(USB_DEVICE_DESCRIPTOR) == 18,
              "standard USB descriptor layouts");
