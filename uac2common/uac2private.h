// The private control interface between the QavAudio kernel driver and its
// user-mode clients (QavAsio, QavPanel, QavPropPage, qav): identifiers, request
// layouts and value records. Everything here travels through IOCTL_KS_PROPERTY,
// IOCTL_KS_METHOD and IOCTL_KS_ENABLE_EVENT on a filter or pin handle, so every
// layout is a wire format: little-endian, no padding, the same bytes on x64,
// x86 and the host build. The static_asserts below are the contract.
//
// Freestanding: usable from kernel code, so no C or C++ library headers. The
// header pulls in what it needs per target:
//   Windows kernel (_KERNEL_MODE): <ntddk.h>, then <ks.h> (with the definitions
//                                  qav_kernel_image sets for MinGW's DDK)
//   Windows user mode:             <windows.h>, then <ks.h>
//   host build:                    winsim's <ntdef.h> and <ks.h> (kernel and user code alike)
// A translation unit that includes those itself first is fine; they are guarded.
#pragma once

#ifndef __cplusplus
#error "uac2private.h is C++ (it defines inline constexpr GUIDs)"
#endif

#if !defined(_WIN32)
#include <ntdef.h>
#elif defined(_KERNEL_MODE)
#include <ntddk.h>
#else
#include <windows.h>
#endif
#include <ks.h>

// A GUID constant with one definition program-wide and no INITGUID: usable in
// constant expressions and static tables in kernel and user code. Accepts the
// eleven numbers directly or a STATIC_<name> macro holding them.
#define QAV_DEFINE_GUID(name, ...) QAV_DEFINE_GUID_(name, __VA_ARGS__)
#define QAV_DEFINE_GUID_(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// Own identifiers. The STATIC_ forms serve KS tables that take a GUID by value
// (STATICGUIDOF); the registry form is given for INF and registration code.

// {C53A39D2-5B1C-45FE-B0CD-5EE76B64108A}: property set of the filter and audio pins.
#define STATIC_KSPROPSETID_UacPrivate \
  0xc53a39d2, 0x5b1c, 0x45fe, 0xb0, 0xcd, 0x5e, 0xe7, 0x6b, 0x64, 0x10, 0x8a
QAV_DEFINE_GUID(KSPROPSETID_UacPrivate, STATIC_KSPROPSETID_UacPrivate);

// {1E2901E8-2A00-43AD-A76B-53C7F1B9BAF8}: method set of the filter (USB access).
#define STATIC_KSMETHODSETID_UacUsb \
  0x1e2901e8, 0x2a00, 0x43ad, 0xa7, 0x6b, 0x53, 0xc7, 0xf1, 0xb9, 0xba, 0xf8
QAV_DEFINE_GUID(KSMETHODSETID_UacUsb, STATIC_KSMETHODSETID_UacUsb);

// {1C5AF832-1E7D-43A7-B933-4F9A72FF8FBA}: event set the driver raises.
#define STATIC_KSEVENTSETID_UacPrivate \
  0x1c5af832, 0x1e7d, 0x43a7, 0xb9, 0x33, 0x4f, 0x9a, 0x72, 0xff, 0x8f, 0xba
QAV_DEFINE_GUID(KSEVENTSETID_UacPrivate, STATIC_KSEVENTSETID_UacPrivate);

// {039128B3-F0EF-4D43-8F26-B337081B8A26}: second event set with the same ids;
// enabling succeeds, nothing is ever raised on it.
#define STATIC_KSEVENTSETID_UacPrivate2 \
  0x039128b3, 0xf0ef, 0x4d43, 0x8f, 0x26, 0xb3, 0x37, 0x08, 0x1b, 0x8a, 0x26
QAV_DEFINE_GUID(KSEVENTSETID_UacPrivate2, STATIC_KSEVENTSETID_UacPrivate2);

// {68B99396-C72F-40CB-A109-3A1DA52CD699}: filter category and device-interface
// class the driver registers its filter under.
#define STATIC_KSCATEGORY_UacPrivate \
  0x68b99396, 0xc72f, 0x40cb, 0xa1, 0x09, 0x3a, 0x1d, 0xa5, 0x2c, 0xd6, 0x99
QAV_DEFINE_GUID(KSCATEGORY_UacPrivate, STATIC_KSCATEGORY_UacPrivate);

// {FCD3C5D9-9B64-437A-8D46-8EA891914054}: device-interface class the installation
// adds for each device; QavAsio and QavPanel enumerate it.
#define STATIC_GUID_DEVINTERFACE_UacClient \
  0xfcd3c5d9, 0x9b64, 0x437a, 0x8d, 0x46, 0x8e, 0xa8, 0x91, 0x91, 0x40, 0x54
QAV_DEFINE_GUID(GUID_DEVINTERFACE_UacClient, STATIC_GUID_DEVINTERFACE_UacClient);

// {5647B189-73A4-40DE-A253-BA28AC690F60}: the ASIO driver's COM class; also the
// IID under which it answers for IASIO, and the "CLSID" value of its ASIO key.
#define STATIC_CLSID_QavAsio \
  0x5647b189, 0x73a4, 0x40de, 0xa2, 0x53, 0xba, 0x28, 0xac, 0x69, 0x0f, 0x60
QAV_DEFINE_GUID(CLSID_QavAsio, STATIC_CLSID_QavAsio);

// Property ids of KSPROPSETID_UacPrivate. Filter: all but 30 and 50, which
// are pin properties of the audio streaming pins. Ids above
// KSPROPERTY_UAC_LAST are refused with STATUS_INVALID_PARAMETER.
enum KSPROPERTY_UAC : ULONG {
  KSPROPERTY_UAC_URB_SIZE = 0,            // get/set u32 frames per isochronous URB
  KSPROPERTY_UAC_ACTIVE_SAMPLE_RATE = 1,  // get u32 Hz, 0 while no audio pin is open
  KSPROPERTY_UAC_SAMPLE_RATES = 2,        // get u32[] of the clock's discrete rates
  KSPROPERTY_UAC_SAMPLE_RATE = 3,         // get/set u32 Hz of the current clock
  KSPROPERTY_UAC_CLOCK_SOURCE = 10,       // get/set u32 0-based clock source number
  KSPROPERTY_UAC_CLOCK_SOURCE_INFO = 11,  // KSP_UAC_INDEX -> ClockSourceInfo
  KSPROPERTY_UAC_CLASS_REQUEST = 20,      // KSP_UAC_CLASS_REQUEST <-> raw AudioControl bytes
  KSPROPERTY_UAC_CHANNEL_NAME = 30,       // pin: KSP_UAC_INDEX -> UTF-16 channel name
  KSPROPERTY_UAC_MIN_URB_SIZE = 40,       // get u32 smallest accepted URB size
  KSPROPERTY_UAC_URB_TIMING = 50,         // pin: get UrbTimingInfo
  KSPROPERTY_UAC_RENDER_CLIENTS = 60,     // get u32[] process ids attached to render
  KSPROPERTY_UAC_PRODUCT_ID = 70,         // get u32 idProduct
  KSPROPERTY_UAC_LAST = KSPROPERTY_UAC_PRODUCT_ID,
};

// Method ids of KSMETHODSETID_UacUsb.
enum KSMETHOD_UAC : ULONG {
  KSMETHOD_UAC_GET_DESCRIPTOR = 1,    // KSMETHOD_TYPE_WRITE, KSM_UAC_DESCRIPTOR
  KSMETHOD_UAC_CONTROL_TRANSFER = 2,  // KSMETHOD_TYPE_MODIFY, KSM_UAC_CONTROL_TRANSFER
};

// Event ids of KSEVENTSETID_UacPrivate (and KSEVENTSETID_UacPrivate2).
enum KSEVENT_UAC : ULONG {
  KSEVENT_UAC_SAMPLE_RATE_CHANGED = 0,  // data: u32 new rate
  KSEVENT_UAC_URB_SIZE_CHANGED = 1,     // data: u32 new URB size
  KSEVENT_UAC_STATUS_INTERRUPT = 2,     // data: the raw status-interrupt message
  KSEVENT_UAC_DEVICE_REMOVED = 3,       // no data
  KSEVENT_UAC_COUNT = 4,
};

// USB performance modes: the value a client writes to KSPROPERTY_UAC_URB_SIZE.
// Offered in this order everywhere (RECORDING, BALANCED, MIXING).
inline constexpr ULONG UAC_URB_SIZE_RECORDING = 1;
inline constexpr ULONG UAC_URB_SIZE_BALANCED = 3;
inline constexpr ULONG UAC_URB_SIZE_MIXING = 5;

// Capacities of the interface.
inline constexpr ULONG UAC_MAX_CLOCK_SOURCES = 16;    // KSPROPERTY_UAC_CLOCK_SOURCE_INFO indexes 0..15
inline constexpr ULONG UAC_MAX_SAMPLE_RATES = 16;     // entries of KSPROPERTY_UAC_SAMPLE_RATES
inline constexpr ULONG UAC_MAX_RENDER_CLIENTS = 4;    // entries of KSPROPERTY_UAC_RENDER_CLIENTS
inline constexpr ULONG UAC_CHANNEL_NAME_MAX_BYTES = 128;
inline constexpr ULONG UAC_CLOCK_NAME_CHARS = 32;     // UTF-16 units, terminator included
inline constexpr ULONG UAC_URB_TIMING_BUCKETS = 20;   // the last bucket counts that lateness and more

// Value-buffer sizes the driver enforces: u32 properties need at least 4
// bytes, a class request at least 1, an event enable at least a 16-byte
// KSEVENTDATA (its x86 size; x64 clients send 32). A clock-source record is
// answered only into a buffer of exactly sizeof(ClockSourceInfo).
inline constexpr ULONG UAC_U32_VALUE_SIZE = 4;
inline constexpr ULONG UAC_CLASS_REQUEST_MIN_VALUE_SIZE = 1;
inline constexpr ULONG UAC_EVENT_DATA_MIN_SIZE = 16;

// ClockSourceInfo.Attributes: bits 0-1 the clock type, bit 4 the validity the
// clock reported when last asked.
inline constexpr ULONG UAC_CLOCK_TYPE_MASK = 0x3;
inline constexpr ULONG UAC_CLOCK_TYPE_EXTERNAL = 0;
inline constexpr ULONG UAC_CLOCK_TYPE_INTERNAL_FIXED = 1;
inline constexpr ULONG UAC_CLOCK_TYPE_INTERNAL_VARIABLE = 2;
inline constexpr ULONG UAC_CLOCK_TYPE_INTERNAL_PROGRAMMABLE = 3;
inline constexpr ULONG UAC_CLOCK_VALID = 0x10;

// KSM_UAC_CONTROL_TRANSFER.TransferFlags: the USBD transfer flags of the same
// values (USBD_TRANSFER_DIRECTION_IN, USBD_DEFAULT_PIPE_TRANSFER), named here so
// clients need no USB headers. The default-pipe bit is required.
inline constexpr ULONG UAC_TRANSFER_DIRECTION_IN = 0x1;
inline constexpr ULONG UAC_TRANSFER_DEFAULT_PIPE = 0x8;

// Indexed property request: KSPROPERTY_UAC_CLOCK_SOURCE_INFO (Index = clock
// source number) and pin property KSPROPERTY_UAC_CHANNEL_NAME (Index = 0-based
// channel).
struct KSP_UAC_INDEX {
  KSPROPERTY Property;
  ULONG Index;
  ULONG Reserved;
};

// KSPROPERTY_UAC_CLASS_REQUEST: one class-specific request to the AudioControl
// interface; wValue = ControlSelector << 8 | Channel, wIndex = EntityId << 8.
struct KSP_UAC_CLASS_REQUEST {
  KSPROPERTY Property;
  UCHAR EntityId;
  UCHAR Request;
  UCHAR ControlSelector;
  UCHAR Channel;
  ULONG Reserved;
};

// KSMETHOD_UAC_GET_DESCRIPTOR.
struct KSM_UAC_DESCRIPTOR {
  KSMETHOD Method;
  UCHAR DescriptorType;
  UCHAR DescriptorIndex;
  USHORT LanguageId;
  ULONG Reserved;
};

// KSMETHOD_UAC_CONTROL_TRANSFER: Reserved must be 0 and TransferFlags must
// include UAC_TRANSFER_DEFAULT_PIPE. SetupPacket is sent as is.
struct KSM_UAC_CONTROL_TRANSFER {
  KSMETHOD Method;
  ULONG Reserved;
  ULONG TransferFlags;
  UCHAR SetupPacket[8];
};

// Value of KSPROPERTY_UAC_CLOCK_SOURCE_INFO. Name holds UTF-16 code units as
// UINT16 rather than WCHAR so the layout cannot depend on the target's wide
// character type; use the accessors below to move it to and from WCHAR.
struct ClockSourceInfo {
  ULONG Number;  // 0-based clock source number, descriptor order
  UINT16 Name[UAC_CLOCK_NAME_CHARS];  // NUL-terminated, zero-padded
  UCHAR ClockId;
  UCHAR SelectorId;
  UCHAR Reserved[2];  // zero
  ULONG Attributes;   // UAC_CLOCK_TYPE_* | UAC_CLOCK_VALID
};

// Value of pin property KSPROPERTY_UAC_URB_TIMING: data URBs completed in the
// current or last run, and a histogram of how many frames late each completion
// ran (the last bucket also counts everything later).
struct UrbTimingInfo {
  ULONG Count;
  ULONG Lateness[UAC_URB_TIMING_BUCKETS];
};

static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSMETHOD) == 24, "KS identifier is 24 bytes");
static_assert(__builtin_offsetof(KSIDENTIFIER, Id) == 16 && __builtin_offsetof(KSIDENTIFIER, Flags) == 20,
              "KS identifier layout");

static_assert(sizeof(KSP_UAC_INDEX) == 32, "indexed property request");
static_assert(__builtin_offsetof(KSP_UAC_INDEX, Index) == 24, "indexed property request");

static_assert(sizeof(KSP_UAC_CLASS_REQUEST) == 32, "class-request property");
static_assert(__builtin_offsetof(KSP_UAC_CLASS_REQUEST, EntityId) == 24 &&
                  __builtin_offsetof(KSP_UAC_CLASS_REQUEST, Request) == 25 &&
                  __builtin_offsetof(KSP_UAC_CLASS_REQUEST, ControlSelector) == 26 &&
                  __builtin_offsetof(KSP_UAC_CLASS_REQUEST, Channel) == 27 &&
                  __builtin_offsetof(KSP_UAC_CLASS_REQUEST, Reserved) == 28,
              "class-request property");

static_assert(sizeof(KSM_UAC_DESCRIPTOR) == 32, "descriptor method");
static_assert(__builtin_offsetof(KSM_UAC_DESCRIPTOR, DescriptorType) == 24 &&
                  __builtin_offsetof(KSM_UAC_DESCRIPTOR, DescriptorIndex) == 25 &&
                  __builtin_offsetof(KSM_UAC_DESCRIPTOR, LanguageId) == 26 &&
                  __builtin_offsetof(KSM_UAC_DESCRIPTOR, Reserved) == 28,
              "descriptor method");

static_assert(sizeof(KSM_UAC_CONTROL_TRANSFER) == 40, "control-transfer method");
static_assert(__builtin_offsetof(KSM_UAC_CONTROL_TRANSFER, Reserved) == 24 &&
                  __builtin_offsetof(KSM_UAC_CONTROL_TRANSFER, TransferFlags) == 28 &&
                  __builtin_offsetof(KSM_UAC_CONTROL_TRANSFER, SetupPacket) == 32,
              "control-transfer method");

static_assert(sizeof(UINT16) == 2, "clock name units are 16 bits");
static_assert(sizeof(ClockSourceInfo) == 76, "ClockSourceInfo");
static_assert(__builtin_offsetof(ClockSourceInfo, Name) == 4 &&
                  __builtin_offsetof(ClockSourceInfo, ClockId) == 68 &&
                  __builtin_offsetof(ClockSourceInfo, SelectorId) == 69 &&
                  __builtin_offsetof(ClockSourceInfo, Reserved) == 70 &&
                  __builtin_offsetof(ClockSourceInfo, Attributes) == 72,
              "ClockSourceInfo");

static_assert(sizeof(UrbTimingInfo) == 84, "URB timing record");
static_assert(__builtin_offsetof(UrbTimingInfo, Lateness) == 4, "URB timing record");

// Stores a clock name: at most count units of name, ending early at a NUL,
// truncated to UAC_CLOCK_NAME_CHARS - 1 units; the rest of the field is zeroed
// so the record never carries stale bytes. A null name stores an empty name.
// Counted input because USB string descriptors are not NUL-terminated.
inline void ClockSourceInfoSetName(ClockSourceInfo &info, const WCHAR *name, ULONG count) {
  ULONG used = 0;
  if (name != nullptr) {
    while (used < count && used < UAC_CLOCK_NAME_CHARS - 1 && name[used] != 0) {
      info.Name[used] = static_cast<UINT16>(name[used]);
      ++used;
    }
  }
  for (ULONG i = used; i < UAC_CLOCK_NAME_CHARS; ++i) info.Name[i] = 0;
}

// Copies the record's name into dst, which holds dstChars units including the
// terminator, truncating when it does not fit. Returns the units copied
// without the terminator; with dstChars 0 nothing is written. Tolerates a
// record whose field lacks a terminator (it came from the other side).
inline ULONG ClockSourceInfoGetName(const ClockSourceInfo &info, WCHAR *dst, ULONG dstChars) {
  if (dst == nullptr || dstChars == 0) return 0;
  ULONG used = 0;
  while (used < dstChars - 1 && used < UAC_CLOCK_NAME_CHARS && info.Name[used] != 0) {
    dst[used] = static_cast<WCHAR>(info.Name[used]);
    ++used;
  }
  dst[used] = 0;
  return used;
}
