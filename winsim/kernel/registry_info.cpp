// Zw information records. Each record is built whole in host memory, then as
// much of it as the caller's buffer rules allow is copied out.
#include "registry_info.h"

#include <string.h>

namespace winsim {
namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF;

struct Record {
  std::vector<UCHAR> bytes;
  ULONG fixedLength = 0;

  template <typename Header>
  Record(const Header &header, ULONG fixed) : bytes(fixed), fixedLength(fixed) {
    static_assert(sizeof(Header) >= 8);
    memcpy(bytes.data(), &header, fixed);
  }
  void Append(const void *data, size_t size) {
    const UCHAR *p = static_cast<const UCHAR *>(data);
    bytes.insert(bytes.end(), p, p + size);
  }
  void Append(std::u16string_view s) { Append(s.data(), s.size() * sizeof(WCHAR)); }
  void PadTo(size_t alignment) { bytes.resize((bytes.size() + alignment - 1) / alignment * alignment); }
};

NTSTATUS CopyOut(const Record &record, PVOID buffer, ULONG length, PULONG resultLength) {
  *resultLength = ULONG(record.bytes.size());
  if (length < record.fixedLength) return STATUS_BUFFER_TOO_SMALL;
  if (length < record.bytes.size()) {
    memcpy(buffer, record.bytes.data(), record.fixedLength);
    return STATUS_BUFFER_OVERFLOW;
  }
  memcpy(buffer, record.bytes.data(), record.bytes.size());
  return STATUS_SUCCESS;
}

ULONG Bytes(std::u16string_view s) { return ULONG(s.size() * sizeof(WCHAR)); }

Record FullValueRecord(std::u16string_view name, const RegValue &value, size_t dataAlignment) {
  const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
  const size_t nameEnd = fixed + Bytes(name);
  const ULONG dataOffset = ULONG((nameEnd + dataAlignment - 1) / dataAlignment * dataAlignment);
  KEY_VALUE_FULL_INFORMATION header{0, value.type, dataOffset, ULONG(value.data.size()), Bytes(name), {}};
  Record record(header, fixed);
  record.Append(name);
  record.PadTo(dataAlignment);
  record.Append(value.data.data(), value.data.size());
  return record;
}

}  // namespace

bool IsModeledValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass) {
  return infoClass == KeyValueBasicInformation || infoClass == KeyValueFullInformation ||
         infoClass == KeyValuePartialInformation || infoClass == KeyValueFullInformationAlign64 ||
         infoClass == KeyValuePartialInformationAlign64;
}

bool IsModeledKeyInformation(KEY_INFORMATION_CLASS infoClass) {
  return infoClass == KeyBasicInformation || infoClass == KeyNodeInformation || infoClass == KeyFullInformation;
}

NTSTATUS FillValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass, std::u16string_view name, const RegValue &value,
                              PVOID buffer, ULONG length, PULONG resultLength) {
  const ULONG dataLength = ULONG(value.data.size());
  switch (infoClass) {
    case KeyValueBasicInformation: {
      KEY_VALUE_BASIC_INFORMATION header{0, value.type, Bytes(name), {}};
      Record record(header, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
      record.Append(name);
      return CopyOut(record, buffer, length, resultLength);
    }
    case KeyValueFullInformation:
      return CopyOut(FullValueRecord(name, value, sizeof(ULONG)), buffer, length, resultLength);
    case KeyValueFullInformationAlign64:
      return CopyOut(FullValueRecord(name, value, sizeof(ULONGLONG)), buffer, length, resultLength);
    case KeyValuePartialInformation: {
      KEY_VALUE_PARTIAL_INFORMATION header{0, value.type, dataLength, {}};
      Record record(header, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
      record.Append(value.data.data(), dataLength);
      return CopyOut(record, buffer, length, resultLength);
    }
    case KeyValuePartialInformationAlign64: {
      KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 header{value.type, dataLength, {}};
      Record record(header, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data));
      record.Append(value.data.data(), dataLength);
      return CopyOut(record, buffer, length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS FillKeyInformation(KEY_INFORMATION_CLASS infoClass, const RegKeyInfo &info, PVOID buffer, ULONG length,
                            PULONG resultLength) {
  LARGE_INTEGER lastWrite;
  lastWrite.QuadPart = info.lastWriteTime;
  const ULONG classLength = Bytes(info.className);
  switch (infoClass) {
    case KeyBasicInformation: {
      KEY_BASIC_INFORMATION header{lastWrite, 0, Bytes(info.name), {}};
      Record record(header, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
      record.Append(info.name);
      return CopyOut(record, buffer, length, resultLength);
    }
    case KeyNodeInformation: {
      const ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
      const ULONG classOffset = classLength == 0 ? kNoClass : fixed + Bytes(info.name);
      KEY_NODE_INFORMATION header{lastWrite, 0, classOffset, classLength, Bytes(info.name), {}};
      Record record(header, fixed);
      record.Append(info.name);
      record.Append(info.className);
      return CopyOut(record, buffer, length, resultLength);
    }
    case KeyFullInformation: {
      const ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
      KEY_FULL_INFORMATION header{lastWrite,
                                  0,
                                  fixed,
                                  classLength,
                                  info.subKeys,
                                  info.maxSubKeyNameBytes,
                                  info.maxClassBytes,
                                  info.values,
                                  info.maxValueNameBytes,
                                  info.maxValueDataBytes,
                                  {}};
      Record record(header, fixed);
      record.Append(info.className);
      return CopyOut(record, buffer, length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace winsim
