#include "kerneldriver/device/endpoint_formats.h"

#include "kerneldriver/device/hardware_id.h"
#include "kerneldriver/kernel_support.h"

namespace {

// The MMDevices store root per data-flow direction, capture first.
const WCHAR kCaptureRoot[] =
    QAV_W("\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture");
const WCHAR kRenderRoot[] =
    QAV_W("\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render");
const WCHAR kPropertiesSuffix[] = QAV_W("\\Properties");
const WCHAR kDevicePathValue[] = QAV_W("{b3f8fa53-0004-438e-9003-51a46e139bfc},2");
const WCHAR kDeviceFormatValue[] = QAV_W("{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0");
const WCHAR kMixFormatValue[] = QAV_W("{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},0");

constexpr ULONG kPathBytes = 350;  // 175 UTF-16 characters including the terminator
constexpr ULONG kPathBufferBytes = 351;
constexpr ULONG kKeyNameBufferBytes = 536;
constexpr ULONG kFormatBytes = 64;
constexpr ULONG kPartialHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

struct UpdateBuffers {
  PWCHAR path;                                 // kTagEndpointPath
  PKEY_VALUE_PARTIAL_INFORMATION devicePath;   // kTagEndpointPath
  PKEY_BASIC_INFORMATION keyName;              // kTagEndpointKeyName
  PKEY_VALUE_PARTIAL_INFORMATION format;       // kTagBuffer
};

struct UpdateWork {
  PIO_WORKITEM workItem;
  UsbAudioDevice *device;
  ULONG rate;
};

// A serialized property value: VT_BLOB as a 4-byte type, then the blob's
// size, then the blob (here a wave format).
constexpr ULONG kBlobType = 0x41;
constexpr ULONG kBlobHeaderBytes = 8;

// WAVEFORMATEX fields, as they lie in the (packed, little-endian) value.
constexpr ULONG kOffsetFormatTag = 0;
constexpr ULONG kOffsetChannels = 2;
constexpr ULONG kOffsetSamplesPerSec = 4;
constexpr ULONG kOffsetAvgBytesPerSec = 8;
constexpr ULONG kOffsetBlockAlign = 12;
constexpr ULONG kOffsetBitsPerSample = 14;
constexpr ULONG kOffsetExtraSize = 16;
constexpr ULONG kWaveFormatExBytes = 18;
constexpr ULONG kExtensibleExtraBytes = 22;
constexpr ULONG kMaxFormatChannels = 256;
constexpr ULONG kMaxFormatBits = 32;
static_assert(sizeof(WAVEFORMATEX) >= kWaveFormatExBytes, "WAVEFORMATEX holds the fields read");

void WriteLe16(UCHAR *p, USHORT value) {
  p[0] = static_cast<UCHAR>(value);
  p[1] = static_cast<UCHAR>(value >> 8);
}

void WriteLe32(UCHAR *p, ULONG value) {
  WriteLe16(p, static_cast<USHORT>(value));
  WriteLe16(p + 2, static_cast<USHORT>(value >> 16));
}

// The wave format inside a stored value: behind the serialization header
// when the value carries one whose size is that of the rest of the value,
// else (a bare format) at the start.
UCHAR *LocateWaveFormat(UCHAR *data, ULONG length, ULONG *formatLength) {
  if (data == nullptr) return nullptr;
  if (length >= kBlobHeaderBytes + kWaveFormatExBytes && QavReadLe32(data) == kBlobType &&
      QavReadLe32(data + 4) == length - kBlobHeaderBytes) {
    *formatLength = length - kBlobHeaderBytes;
    return data + kBlobHeaderBytes;
  }
  *formatLength = length;
  return data;
}

// PCM, IEEE float or EXTENSIBLE with sane channels and sample size, whose
// declared extra bytes lie inside the value.
bool PlausibleWaveFormat(const UCHAR *format, ULONG length) {
  if (length < kWaveFormatExBytes) return false;
  USHORT tag = QavReadLe16(format + kOffsetFormatTag);
  USHORT channels = QavReadLe16(format + kOffsetChannels);
  USHORT bits = QavReadLe16(format + kOffsetBitsPerSample);
  USHORT extra = QavReadLe16(format + kOffsetExtraSize);
  if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT && tag != WAVE_FORMAT_EXTENSIBLE) return false;
  if (channels == 0 || channels > kMaxFormatChannels) return false;
  if (bits == 0 || bits % 8 != 0 || bits > kMaxFormatBits) return false;
  if (tag == WAVE_FORMAT_EXTENSIBLE && extra < kExtensibleExtraBytes) return false;
  return kWaveFormatExBytes + extra <= length;
}

ULONG WideLength(const WCHAR *text) {
  ULONG length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// root \ name \Properties into the path buffer; false when it does not fit.
bool BuildPropertiesPath(PWCHAR path, const WCHAR *root, const KEY_BASIC_INFORMATION *key) {
  ULONG rootChars = WideLength(root);
  ULONG nameChars = key->NameLength / sizeof(WCHAR);
  ULONG suffixChars = WideLength(kPropertiesSuffix);
  ULONG total = rootChars + 1 + nameChars + suffixChars + 1;
  if (total * sizeof(WCHAR) > kPathBytes) return false;
  QavCopyMemory(path, root, rootChars * sizeof(WCHAR));
  path[rootChars] = '\\';
  QavCopyMemory(path + rootChars + 1, key->Name, nameChars * sizeof(WCHAR));
  QavCopyMemory(path + rootChars + 1 + nameChars, kPropertiesSuffix, (suffixChars + 1) * sizeof(WCHAR));
  return true;
}

NTSTATUS OpenKey(const WCHAR *path, ACCESS_MASK access, HANDLE *key) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(key, access, &attributes);
}

NTSTATUS QueryValue(HANDLE key, const WCHAR *name, PKEY_VALUE_PARTIAL_INFORMATION info, ULONG bytes) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG needed = 0;
  return ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, bytes, &needed);
}

bool EndpointBelongsToDevice(UsbAudioDevice *device, HANDLE properties, UpdateBuffers &buffers) {
  NTSTATUS status = QueryValue(properties, kDevicePathValue, buffers.devicePath, kPathBufferBytes);
  if (!NT_SUCCESS(status) || buffers.devicePath->Type != REG_SZ) return false;
  ULONG available = QavMin(buffers.devicePath->DataLength, kPathBufferBytes - kPartialHeader);
  return DevicePathMatchesPrefix(reinterpret_cast<const WCHAR *>(buffers.devicePath->Data), available / sizeof(WCHAR),
                                 device->hardwareIdPrefix);
}

// Reads one format value, patches it and writes it back with its own type
// and length. A value larger than the buffer is not read in part: it is
// left alone, as is one whose content is not a plausible format.
void RewriteFormat(HANDLE properties, const WCHAR *name, ULONG rate, bool requireBits32, UpdateBuffers &buffers) {
  PKEY_VALUE_PARTIAL_INFORMATION info = buffers.format;
  if (!NT_SUCCESS(QueryValue(properties, name, info, kPartialHeader + kFormatBytes))) return;
  if (info->DataLength > kFormatBytes) {
    QAV_LOG(EndpointFormatSize, static_cast<unsigned>(info->DataLength));
    return;
  }
  FormatPatch patch = PatchWaveFormat(info->Data, info->DataLength, rate, requireBits32);
  if (patch == FormatPatch::Refused) {
    QAV_LOG(EndpointFormatUnknown, static_cast<unsigned>(info->DataLength));
    return;
  }
  if (patch != FormatPatch::Changed) return;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  NTSTATUS status = ZwSetValueKey(properties, &valueName, 0, info->Type, info->Data, info->DataLength);
  if (!NT_SUCCESS(status)) QAV_LOG(EndpointFormatNotWritten, static_cast<unsigned>(status));
}

void UpdateEndpoint(UsbAudioDevice *device, ULONG rate, UpdateBuffers &buffers) {
  HANDLE properties = nullptr;
  if (!NT_SUCCESS(OpenKey(buffers.path, KEY_QUERY_VALUE | KEY_SET_VALUE, &properties))) return;
  if (EndpointBelongsToDevice(device, properties, buffers)) {
    RewriteFormat(properties, kDeviceFormatValue, rate, false, buffers);
    RewriteFormat(properties, kMixFormatValue, rate, true, buffers);
  }
  ZwClose(properties);
}

void UpdateRoot(UsbAudioDevice *device, const WCHAR *root, ULONG rate, UpdateBuffers &buffers) {
  HANDLE rootKey = nullptr;
  if (!NT_SUCCESS(OpenKey(root, KEY_READ, &rootKey))) return;
  for (ULONG index = 0;; ++index) {
    ULONG needed = 0;
    QavZeroMemory(buffers.keyName, kKeyNameBufferBytes);
    if (!NT_SUCCESS(ZwEnumerateKey(rootKey, index, KeyBasicInformation, buffers.keyName, kKeyNameBufferBytes,
                                   &needed))) {
      break;
    }
    if (BuildPropertiesPath(buffers.path, root, buffers.keyName)) UpdateEndpoint(device, rate, buffers);
  }
  ZwClose(rootKey);
}

void UpdateAtPassive(UsbAudioDevice *device, ULONG rate) {
  UpdateBuffers buffers;
  buffers.path = static_cast<PWCHAR>(QavAllocateZeroed(PagedPool, kPathBufferBytes, kTagEndpointPath));
  buffers.devicePath =
      static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(QavAllocateZeroed(PagedPool, kPathBufferBytes, kTagEndpointPath));
  buffers.keyName =
      static_cast<PKEY_BASIC_INFORMATION>(QavAllocateZeroed(PagedPool, kKeyNameBufferBytes, kTagEndpointKeyName));
  buffers.format = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
      QavAllocateZeroed(PagedPool, kPartialHeader + kFormatBytes, kTagBuffer));
  if (buffers.path != nullptr && buffers.devicePath != nullptr && buffers.keyName != nullptr &&
      buffers.format != nullptr) {
    UpdateRoot(device, kCaptureRoot, rate, buffers);
    UpdateRoot(device, kRenderRoot, rate, buffers);
  }
  QavFree(buffers.path, kTagEndpointPath);
  QavFree(buffers.devicePath, kTagEndpointPath);
  QavFree(buffers.keyName, kTagEndpointKeyName);
  QavFree(buffers.format, kTagBuffer);
}

IO_WORKITEM_ROUTINE UpdateWorkItem;

void UpdateWorkItem(PDEVICE_OBJECT, PVOID context) {
  auto *work = static_cast<UpdateWork *>(context);
  UsbAudioDevice *device = work->device;
  UpdateAtPassive(device, work->rate);
  IoFreeWorkItem(work->workItem);
  QavFree(work, kTagSmall);
  IoReleaseRemoveLock(&device->removeLock, work);
}

void QueueUpdate(UsbAudioDevice *device, ULONG rate) {
  auto *work = static_cast<UpdateWork *>(QavAllocateNonPaged(sizeof(UpdateWork), kTagSmall));
  if (work == nullptr) return;
  if (!NT_SUCCESS(IoAcquireRemoveLock(&device->removeLock, work))) {
    QavFree(work, kTagSmall);
    return;
  }
  work->workItem = IoAllocateWorkItem(device->device->FunctionalDeviceObject);
  if (work->workItem == nullptr) {
    IoReleaseRemoveLock(&device->removeLock, work);
    QavFree(work, kTagSmall);
    return;
  }
  work->device = device;
  work->rate = rate;
  IoQueueWorkItem(work->workItem, UpdateWorkItem, DelayedWorkQueue, work);
}

}  // namespace

FormatPatch PatchWaveFormat(UCHAR *data, ULONG length, ULONG rate, bool requireBits32) {
  ULONG formatLength = 0;
  UCHAR *format = LocateWaveFormat(data, length, &formatLength);
  if (format == nullptr || !PlausibleWaveFormat(format, formatLength)) return FormatPatch::Refused;
  ULONG current = QavReadLe32(format + kOffsetSamplesPerSec);
  USHORT bits = QavReadLe16(format + kOffsetBitsPerSample);
  if (current == 0) return FormatPatch::Unchanged;
  if (current == rate && !(requireBits32 && bits != 32)) return FormatPatch::Unchanged;
  USHORT blockAlign = static_cast<USHORT>(QavReadLe16(format + kOffsetChannels) * (bits / 8));
  WriteLe32(format + kOffsetSamplesPerSec, rate);
  WriteLe16(format + kOffsetBlockAlign, blockAlign);
  WriteLe32(format + kOffsetAvgBytesPerSec, rate * blockAlign);
  return FormatPatch::Changed;
}

void UpdateEndpointFormats(UsbAudioDevice *device, ULONG rate) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    QueueUpdate(device, rate);
    return;
  }
  UpdateAtPassive(device, rate);
}
