// Numbers of the USB 2.0 framework, USB Audio Class 2.0 and USB MIDI 1.0 that
// the simulated devices put on the wire and that the descriptor walkers check.
#pragma once
#include <cstdint>

namespace winsim::devices::usb_const {

// Standard descriptor types.
inline constexpr uint8_t kDevice = 0x01;
inline constexpr uint8_t kConfiguration = 0x02;
inline constexpr uint8_t kString = 0x03;
inline constexpr uint8_t kInterface = 0x04;
inline constexpr uint8_t kEndpoint = 0x05;
inline constexpr uint8_t kInterfaceAssociation = 0x0B;
inline constexpr uint8_t kDfuFunctional = 0x21;
inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kCsEndpoint = 0x25;

// Fixed descriptor lengths.
inline constexpr uint8_t kDeviceLength = 18;
inline constexpr uint8_t kConfigurationLength = 9;
inline constexpr uint8_t kInterfaceLength = 9;
inline constexpr uint8_t kEndpointLength = 7;
inline constexpr uint8_t kAudioEndpointLength = 9;  // USB MIDI 1.0 endpoints carry bRefresh, bSynchAddress
inline constexpr uint8_t kIadLength = 8;
inline constexpr uint8_t kDfuFunctionalLength = 9;

// Interface classes.
inline constexpr uint8_t kClassAudio = 0x01;
inline constexpr uint8_t kSubclassAudioControl = 0x01;
inline constexpr uint8_t kSubclassAudioStreaming = 0x02;
inline constexpr uint8_t kSubclassMidiStreaming = 0x03;
inline constexpr uint8_t kProtocolUac2 = 0x20;  // IP_VERSION_02_00 / AF_VERSION_02_00
inline constexpr uint8_t kClassApplicationSpecific = 0xFE;
inline constexpr uint8_t kSubclassDfu = 0x01;
inline constexpr uint8_t kProtocolDfuMode = 0x02;
inline constexpr uint8_t kProtocolDfuRuntime = 0x01;
inline constexpr uint8_t kClassVendorSpecific = 0xFF;
inline constexpr uint8_t kClassMiscellaneous = 0xEF;
inline constexpr uint8_t kSubclassCommon = 0x02;
inline constexpr uint8_t kProtocolIad = 0x01;

// Endpoint bmAttributes.
inline constexpr uint8_t kXferMask = 0x03;
inline constexpr uint8_t kXferControl = 0x00;
inline constexpr uint8_t kXferIsochronous = 0x01;
inline constexpr uint8_t kXferBulk = 0x02;
inline constexpr uint8_t kXferInterrupt = 0x03;
inline constexpr uint8_t kSyncAsynchronous = 0x04;
inline constexpr uint8_t kSyncAdaptive = 0x08;
inline constexpr uint8_t kSyncMask = 0x0C;
inline constexpr uint8_t kUsageMask = 0x30;
inline constexpr uint8_t kUsageFeedback = 0x10;
inline constexpr uint8_t kUsageImplicitFeedbackData = 0x20;
inline constexpr uint8_t kEndpointIn = 0x80;

// AudioControl class-specific interface subtypes (UAC2).
inline constexpr uint8_t kAcHeader = 0x01;
inline constexpr uint8_t kAcInputTerminal = 0x02;
inline constexpr uint8_t kAcOutputTerminal = 0x03;
inline constexpr uint8_t kAcMixerUnit = 0x04;
inline constexpr uint8_t kAcSelectorUnit = 0x05;
inline constexpr uint8_t kAcFeatureUnit = 0x06;
inline constexpr uint8_t kAcEffectUnit = 0x07;
inline constexpr uint8_t kAcProcessingUnit = 0x08;
inline constexpr uint8_t kAcExtensionUnit = 0x09;
inline constexpr uint8_t kAcClockSource = 0x0A;
inline constexpr uint8_t kAcClockSelector = 0x0B;
inline constexpr uint8_t kAcClockMultiplier = 0x0C;
inline constexpr uint8_t kAcSampleRateConverter = 0x0D;

inline constexpr uint8_t kAcHeaderLength = 9;
inline constexpr uint8_t kClockSourceLength = 8;
inline constexpr uint8_t kInputTerminalLength = 17;
inline constexpr uint8_t kOutputTerminalLength = 12;
inline constexpr uint8_t kClockSelectorBaseLength = 7;  // + one byte per input pin
inline constexpr uint8_t kFeatureUnitBaseLength = 6;    // + four bytes per channel, master included
inline constexpr uint16_t kBcdAdc2 = 0x0200;

// AudioStreaming class-specific subtypes.
inline constexpr uint8_t kAsGeneral = 0x01;
inline constexpr uint8_t kAsFormatType = 0x02;
inline constexpr uint8_t kAsEncoder = 0x03;
inline constexpr uint8_t kAsDecoder = 0x04;
inline constexpr uint8_t kAsGeneralLength = 16;
inline constexpr uint8_t kFormatTypeILength = 6;
inline constexpr uint8_t kFormatTypeIWithMaxRateLength = 10;  // u32 highest rate at offset 6
inline constexpr uint8_t kFormatTypeI = 0x01;
inline constexpr uint32_t kFormatPcm = 0x00000001;
inline constexpr uint8_t kEpGeneral = 0x01;
inline constexpr uint8_t kCsIsoEndpointLength = 8;

// Audio function categories (bCategory).
inline constexpr uint8_t kCategoryIoBox = 0x08;
inline constexpr uint8_t kCategoryProAudio = 0x0A;

// Terminal types.
inline constexpr uint16_t kTerminalUsbStreaming = 0x0101;
inline constexpr uint16_t kTerminalMicrophone = 0x0201;
inline constexpr uint16_t kTerminalSpeaker = 0x0301;
inline constexpr uint16_t kTerminalHeadphones = 0x0302;
inline constexpr uint16_t kTerminalLineConnector = 0x0603;
inline constexpr uint16_t kTerminalSpdif = 0x0605;
inline constexpr uint16_t kTerminalAdat = 0x0608;

// Clock source bmControls: sampling frequency (bits 0-1) and validity (bits 2-3).
inline constexpr uint8_t kControlReadOnly = 0x1;
inline constexpr uint8_t kControlReadWrite = 0x3;

// MIDI streaming class-specific subtypes (USB MIDI 1.0).
inline constexpr uint8_t kMsHeader = 0x01;
inline constexpr uint8_t kMsMidiInJack = 0x02;
inline constexpr uint8_t kMsMidiOutJack = 0x03;
inline constexpr uint8_t kMsElement = 0x04;
inline constexpr uint8_t kMsGeneral = 0x01;  // CS_ENDPOINT
inline constexpr uint8_t kMsHeaderLength = 7;
inline constexpr uint8_t kMidiInJackLength = 6;
inline constexpr uint8_t kMidiOutJackBaseLength = 7;  // + two bytes per input pin
inline constexpr uint8_t kMsEndpointBaseLength = 4;   // + one byte per embedded jack
inline constexpr uint8_t kJackEmbedded = 0x01;
inline constexpr uint8_t kJackExternal = 0x02;
inline constexpr uint16_t kBcdMsc1 = 0x0100;

// Standard requests.
inline constexpr uint8_t kRequestGetDescriptor = 0x06;
inline constexpr uint8_t kRequestSetConfiguration = 0x09;
inline constexpr uint8_t kRequestTypeStandardIn = 0x80;
inline constexpr uint8_t kRequestTypeStandardOut = 0x00;
inline constexpr uint8_t kRequestTypeClassInterfaceIn = 0xA1;
inline constexpr uint8_t kRequestTypeClassInterfaceOut = 0x21;

// Audio class requests and the clock entities' control selectors.
inline constexpr uint8_t kRequestCur = 0x01;
inline constexpr uint8_t kRequestRange = 0x02;
inline constexpr uint8_t kClockSamplingFrequencyControl = 0x01;
inline constexpr uint8_t kClockValidityControl = 0x02;
inline constexpr uint8_t kClockSelectorControl = 0x01;

// Language of every string the devices serve.
inline constexpr uint16_t kLangEnglishUs = 0x0409;

}  // namespace winsim::devices::usb_const
