// The Windows definitions the KS client library is written against, for every
// target: MinGW-w64's SDK headers on Windows (x64 and x86), winsim's on the
// host. GUID constants are defined here from the headers' STATIC_ forms, so
// the library needs no GUID import library.
#pragma once
#include <windows.h>
#include <winioctl.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstring>

#include "uac2common/uac2private.h"

namespace directks {

QAV_DEFINE_GUID(kPropSetPin, STATIC_KSPROPSETID_Pin);
QAV_DEFINE_GUID(kPropSetConnection, STATIC_KSPROPSETID_Connection);
QAV_DEFINE_GUID(kPropSetTopology, STATIC_KSPROPSETID_Topology);
QAV_DEFINE_GUID(kPropSetAudio, STATIC_KSPROPSETID_Audio);
QAV_DEFINE_GUID(kInterfaceSetStandard, STATIC_KSINTERFACESETID_Standard);
QAV_DEFINE_GUID(kMediumSetStandard, STATIC_KSMEDIUMSETID_Standard);
QAV_DEFINE_GUID(kFormatTypeAudio, STATIC_KSDATAFORMAT_TYPE_AUDIO);
QAV_DEFINE_GUID(kSubtypePcm, STATIC_KSDATAFORMAT_SUBTYPE_PCM);
QAV_DEFINE_GUID(kSpecifierWaveFormatEx, STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
// {0000tttt-0000-0010-8000-00AA00389B71}: the sub-format of wave format tag tttt.
QAV_DEFINE_GUID(kSubtypeWaveTagBase, 0x00000000, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
inline constexpr GUID kGuidNull = {};

inline bool GuidEquals(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The sub-format GUID of a 16-bit wave format tag.
inline GUID WaveTagSubtype(WORD tag) {
  GUID guid = kSubtypeWaveTagBase;
  guid.Data1 = tag;
  return guid;
}

// True for a GUID of the wave-tag form, whatever its tag: everything but the
// tag's 16 bits (the low half of Data1) compares equal.
inline bool IsWaveTagSubtype(const GUID &guid) {
  return std::memcmp(reinterpret_cast<const BYTE *>(&guid) + 2, reinterpret_cast<const BYTE *>(&kSubtypeWaveTagBase) + 2,
                     sizeof(GUID) - 2) == 0;
}

// Wire sizes the library builds requests from. Every build: the headers and
// the wave format; the connection request's pointer-sized handle makes x64
// and x86 differ.
static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSP_PIN) == 32, "KS request header layout");
static_assert(sizeof(KSNODEPROPERTY) == 32 && sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40, "node request layout");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8 && sizeof(KSDATAFORMAT) == 64, "KS list and format layout");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88 && sizeof(KSAUDIO_POSITION) == 16, "audio range and position layout");
static_assert(sizeof(WAVEFORMATEX) == 18 && sizeof(WAVEFORMATEXTENSIBLE) == 40, "wave format layout");
static_assert(sizeof(KSPIN_CINSTANCES) == 8 && sizeof(KSPIN_INTERFACE) == 24 && sizeof(KSPIN_MEDIUM) == 24,
              "pin descriptor item layout");
static_assert(sizeof(DWORD) == sizeof(ULONG), "byte counts are 32-bit");

// The audio connection request: KSPIN_CONNECT, then KSDATAFORMAT and the wave format.
inline constexpr ULONG kAudioPinConnectSize =
    static_cast<ULONG>(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void *) == 4, "x86 build");
static_assert(sizeof(KSPIN_CONNECT) == 64 && __builtin_offsetof(KSPIN_CONNECT, PinToHandle) == 52 &&
                  __builtin_offsetof(KSPIN_CONNECT, Priority) == 56,
              "KSPIN_CONNECT layout (x86)");
static_assert(kAudioPinConnectSize == 146, "audio connection request (x86)");
#else
static_assert(sizeof(KSPIN_CONNECT) == 72 && __builtin_offsetof(KSPIN_CONNECT, PinToHandle) == 56 &&
                  __builtin_offsetof(KSPIN_CONNECT, Priority) == 64,
              "KSPIN_CONNECT layout (x64)");
static_assert(kAudioPinConnectSize == 154, "audio connection request (x64)");
#endif

}  // namespace directks
