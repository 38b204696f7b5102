// Layouts and values of the kernel-streaming, audio-media and wave-format
// definitions the package relies on, checked at compile time. The same file
// is compiled against winsim's headers (host tests) and against MinGW-w64's
// real headers (the toolchain probes, kernel and user mode), so the host
// stand-ins cannot drift from Windows.
//
// Include after <ks.h> and <ksmedia.h>, with <mmreg.h> before <ksmedia.h> (on
// Windows that is what makes ksmedia.h declare the wave-format structures).
#pragma once
#include "uac2common/uac2private.h"

#define QAV_OFFSET(type, field) __builtin_offsetof(type, field)

#if defined(_WIN32) && !defined(_WIN64)
#define QAV_PTR64(x64, x86) (x86)
#else
#define QAV_PTR64(x64, x86) (x64)
#endif

constexpr bool QavGuidEquals(const GUID &a, const GUID &b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// The header's STATIC_ form of a GUID against its documented value.
#define QAV_EXPECT_GUID(name, ...) \
  static_assert(QavGuidEquals(GUID{STATIC_##name}, GUID{__VA_ARGS__}), #name " value")

// ks.h
static_assert(sizeof(KSIDENTIFIER) == 24 && QAV_OFFSET(KSIDENTIFIER, Id) == 16 &&
              QAV_OFFSET(KSIDENTIFIER, Flags) == 20);
static_assert(sizeof(KSP_PIN) == 32 && QAV_OFFSET(KSP_PIN, PinId) == 24);
static_assert(sizeof(KSP_NODE) == 32 && sizeof(KSM_NODE) == 32 && sizeof(KSE_NODE) == 32);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && sizeof(KSPROPERTY_MEMBERSHEADER) == 16);
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(sizeof(KSEVENTDATA) == QAV_PTR64(32, 16));
static_assert(QAV_OFFSET(KSEVENTDATA, EventHandle.Event) == QAV_PTR64(8, 4));
static_assert(sizeof(KSQUERYBUFFER) == QAV_PTR64(40, 32));
static_assert(sizeof(KSPRIORITY) == 8 && sizeof(KSPIN_CINSTANCES) == 8);
static_assert(sizeof(KSCOMPONENTID) == 72 && sizeof(KSTOPOLOGY_CONNECTION) == 16);
static_assert(sizeof(KSDATAFORMAT) == 64 && sizeof(KSDATARANGE) == 64);
static_assert(QAV_OFFSET(KSDATAFORMAT, MajorFormat) == 16 && QAV_OFFSET(KSDATAFORMAT, SubFormat) == 32 &&
              QAV_OFFSET(KSDATAFORMAT, Specifier) == 48);
static_assert(sizeof(KSATTRIBUTE) == 24);
static_assert(sizeof(KSPIN_CONNECT) == QAV_PTR64(72, 64));
static_assert(QAV_OFFSET(KSPIN_CONNECT, Medium) == 24 && QAV_OFFSET(KSPIN_CONNECT, PinId) == 48 &&
              QAV_OFFSET(KSPIN_CONNECT, PinToHandle) == QAV_PTR64(56, 52) &&
              QAV_OFFSET(KSPIN_CONNECT, Priority) == QAV_PTR64(64, 56));
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24 && QAV_OFFSET(KSALLOCATOR_FRAMING, PoolType) == 4 &&
              QAV_OFFSET(KSALLOCATOR_FRAMING, Frames) == 8 && QAV_OFFSET(KSALLOCATOR_FRAMING, FrameSize) == 12);
static_assert(sizeof(KS_FRAMING_ITEM) == 88 && sizeof(KSALLOCATOR_FRAMING_EX) == 112 &&
              QAV_OFFSET(KSALLOCATOR_FRAMING_EX, FramingItem) == 24);
static_assert(sizeof(KSTIME) == 16 && sizeof(KSFRAMETIME) == 16);
static_assert(sizeof(KSSTREAM_HEADER) == QAV_PTR64(56, 48));
static_assert(QAV_OFFSET(KSSTREAM_HEADER, PresentationTime) == 8 && QAV_OFFSET(KSSTREAM_HEADER, Duration) == 24 &&
              QAV_OFFSET(KSSTREAM_HEADER, FrameExtent) == 32 && QAV_OFFSET(KSSTREAM_HEADER, DataUsed) == 36 &&
              QAV_OFFSET(KSSTREAM_HEADER, Data) == 40 &&
              QAV_OFFSET(KSSTREAM_HEADER, OptionsFlags) == QAV_PTR64(48, 44));
static_assert(sizeof(KSSTATE) == 4 && sizeof(KSPIN_DATAFLOW) == 4 && sizeof(KSPIN_COMMUNICATION) == 4);

static_assert(IOCTL_KS_PROPERTY == 0x2F0003 && IOCTL_KS_ENABLE_EVENT == 0x2F0007 &&
              IOCTL_KS_DISABLE_EVENT == 0x2F000B && IOCTL_KS_METHOD == 0x2F000F &&
              IOCTL_KS_WRITE_STREAM == 0x2F8013 && IOCTL_KS_READ_STREAM == 0x2F4017 &&
              IOCTL_KS_RESET_STATE == 0x2F001B);
static_assert(KSPROPERTY_TYPE_GET == 1 && KSPROPERTY_TYPE_SET == 2 && KSPROPERTY_TYPE_BASICSUPPORT == 0x200 &&
              KSPROPERTY_TYPE_TOPOLOGY == 0x10000000);
static_assert(KSMETHOD_TYPE_READ == 1 && KSMETHOD_TYPE_WRITE == 2 && KSMETHOD_TYPE_MODIFY == 3);
static_assert(KSEVENTF_EVENT_HANDLE == 1 && KSEVENT_TYPE_ENABLE == 1 && KSEVENT_TYPE_ENABLEBUFFERED == 4);
static_assert(KSSTATE_STOP == 0 && KSSTATE_ACQUIRE == 1 && KSSTATE_PAUSE == 2 && KSSTATE_RUN == 3);
static_assert(KSPIN_DATAFLOW_IN == 1 && KSPIN_DATAFLOW_OUT == 2 && KSPIN_COMMUNICATION_BOTH == 3);
static_assert(KSPROPERTY_PIN_CTYPES == 1 && KSPROPERTY_PIN_DATARANGES == 3 && KSPROPERTY_PIN_CATEGORY == 11 &&
              KSPROPERTY_PIN_NAME == 12 && KSPROPERTY_PIN_PROPOSEDATAFORMAT == 14);
static_assert(KSPROPERTY_CONNECTION_STATE == 0 && KSPROPERTY_CONNECTION_ALLOCATORFRAMING == 3 &&
              KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX == 6);
static_assert(KSPROPERTY_STREAM_ALLOCATOR == 0 && KSPROPERTY_STREAM_PIPE_ID == 10);
static_assert(KSINTERFACE_STANDARD_STREAMING == 0 && KSINTERFACE_STANDARD_LOOPED_STREAMING == 1);
static_assert(KSALLOCATOR_OPTIONF_SYSTEM_MEMORY == 2 && KSPRIORITY_NORMAL == 0x40000000);
static_assert(KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY == 4 && KSSTREAM_HEADER_OPTIONSF_TIMEVALID == 0x10 &&
              KSSTREAM_HEADER_OPTIONSF_DURATIONVALID == 0x100);

QAV_EXPECT_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSPROPSETID_Stream, 0x65aaba60, 0x98ae, 0x11cf, 0xa1, 0x0d, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4);
QAV_EXPECT_GUID(KSPROPSETID_General, 0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
QAV_EXPECT_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
                0x00);
QAV_EXPECT_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
QAV_EXPECT_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
QAV_EXPECT_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31,
                0x96);
QAV_EXPECT_GUID(KSNAME_Pin, 0x146F1A80, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

// ksmedia.h and mmreg.h
static_assert(sizeof(WAVEFORMATEX) == 18 && QAV_OFFSET(WAVEFORMATEX, nSamplesPerSec) == 4 &&
              QAV_OFFSET(WAVEFORMATEX, nBlockAlign) == 12 && QAV_OFFSET(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && QAV_OFFSET(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              QAV_OFFSET(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 &&
              QAV_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(WAVE_FORMAT_PCM == 1 && WAVE_FORMAT_IEEE_FLOAT == 3 && WAVE_FORMAT_EXTENSIBLE == 0xFFFE);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82 && QAV_OFFSET(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64);
static_assert(sizeof(KSDSOUND_BUFFERDESC) == 26 && sizeof(KSDATAFORMAT_DSOUND) == 90);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88 && QAV_OFFSET(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
              QAV_OFFSET(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);
static_assert(sizeof(KSDATARANGE_MUSIC) == 96 && QAV_OFFSET(KSDATARANGE_MUSIC, Technology) == 64 &&
              QAV_OFFSET(KSDATARANGE_MUSIC, ChannelMask) == 88);
static_assert(sizeof(KSMUSICFORMAT) == 8 && sizeof(KSAUDIO_POSITION) == 16 && sizeof(KSAUDIO_CHANNEL_CONFIG) == 4);
static_assert(sizeof(KSNODEPROPERTY) == 32 && sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40 &&
              QAV_OFFSET(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32);
static_assert(sizeof(KSMULTIPLE_DATA_PROP) == 32);
static_assert(KSAUDIO_SPEAKER_STEREO == 0x3 && KSAUDIO_SPEAKER_5POINT1 == 0x3F &&
              KSAUDIO_SPEAKER_7POINT1_SURROUND == 0x63F);
static_assert(KSPROPERTY_AUDIO_CHANNEL_CONFIG == 3 && KSPROPERTY_AUDIO_POSITION == 5 &&
              KSPROPERTY_AUDIO_SAMPLING_RATE == 8 && KSPROPERTY_AUDIO_PREFERRED_STATUS == 40);

QAV_EXPECT_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
QAV_EXPECT_GUID(KSCATEGORY_REALTIME, 0xEB115FFC, 0x10C8, 0x4964, 0x83, 0x1D, 0x6D, 0xCB, 0x02, 0xE6, 0xF2, 0x3F);
QAV_EXPECT_GUID(KSPROPSETID_Audio, 0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00);
QAV_EXPECT_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
QAV_EXPECT_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b,
                0x71);
QAV_EXPECT_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589f81, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55,
                0x59, 0x5a);
QAV_EXPECT_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590a2, 0xa184, 0x11d0, 0x85, 0x22, 0x00, 0xc0, 0x4f, 0xd9, 0xba,
                0xf3);
QAV_EXPECT_GUID(KSDATAFORMAT_TYPE_MUSIC, 0xE725D360, 0x62CC, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSDATAFORMAT_SUBTYPE_MIDI, 0x1D262760, 0xE957, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
                0x00);
QAV_EXPECT_GUID(KSMUSIC_TECHNOLOGY_PORT, 0x86C92E60, 0x62E8, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
QAV_EXPECT_GUID(KSNODETYPE_DAC, 0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
QAV_EXPECT_GUID(KSNODETYPE_ADC, 0x4D837FE0, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
QAV_EXPECT_GUID(KSNODETYPE_LINE_CONNECTOR, 0xDFF21FE3, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31,
                0x96);
QAV_EXPECT_GUID(KSNODETYPE_SPEAKER, 0xDFF21CE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
QAV_EXPECT_GUID(KSAUDFNAME_MIDI, 0x185FEDF8, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

// The private interface against the KS structures it extends.
static_assert(sizeof(KSP_UAC_INDEX) == sizeof(KSP_PIN) && QAV_OFFSET(KSP_UAC_INDEX, Index) == QAV_OFFSET(KSP_PIN, PinId),
              "an indexed private request has the shape of a pin property request");
static_assert(UAC_EVENT_DATA_MIN_SIZE <= sizeof(KSEVENTDATA), "every client's KSEVENTDATA satisfies the minimum");
