#include "winsim/setup/inf_addreg.h"

#include <cctype>

#include "winsim/kernel/pnp_text.h"

namespace winsim::setup {
namespace {

// FLG_ADDREG_* of <setupapi.h>.
constexpr uint32_t kBinValueType = 0x00000001;
constexpr uint32_t kNoClobber = 0x00000002;
constexpr uint32_t kKeyOnly = 0x00000010;
constexpr uint32_t kTypeMask = 0xFFFF0000 | kBinValueType;
constexpr uint32_t kTypeSz = 0x00000000;
constexpr uint32_t kTypeMultiSz = 0x00010000;
constexpr uint32_t kTypeExpandSz = 0x00020000;
constexpr uint32_t kTypeBinary = kBinValueType;
constexpr uint32_t kTypeDword = 0x00010000 | kBinValueType;
constexpr uint32_t kSupportedFlags = kTypeMask | kNoClobber | kKeyOnly;
constexpr size_t kFirstValueField = 4;

InfError Error(uint32_t line, std::string message) { return InfError{kErrorGeneralSyntax, line, std::move(message)}; }

bool ParseRoot(const std::string &text, RegRoot *root) {
  static const struct {
    const char *name;
    RegRoot root;
  } kRoots[] = {{"HKR", RegRoot::Relative},       {"HKLM", RegRoot::LocalMachine}, {"HKCR", RegRoot::ClassesRoot},
                {"HKCU", RegRoot::CurrentUser},   {"HKU", RegRoot::Users}};
  for (const auto &known : kRoots) {
    if (EqualNoCase(text, known.name)) {
      *root = known.root;
      return true;
    }
  }
  return false;
}

bool ParseHexByte(const std::string &text, UCHAR *byte) {
  std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 2) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
  }
  *byte = static_cast<UCHAR>(value);
  return true;
}

std::vector<std::u16string> ValueFields(const InfLine &line) {
  std::vector<std::u16string> values;
  for (size_t i = kFirstValueField; i < line.fields.size(); ++i) values.push_back(pnp::Widen(line.fields[i]));
  return values;
}

InfError ReadValue(const InfLine &line, uint32_t type, RegWrite *write) {
  std::vector<std::u16string> values = ValueFields(line);
  switch (type) {
    case kTypeSz:
    case kTypeExpandSz:
      if (values.size() > 1) return Error(line.number, "a string value takes one field");
      write->value = RegValue::String(values.empty() ? u"" : values[0], type == kTypeSz ? REG_SZ : REG_EXPAND_SZ);
      return {};
    case kTypeMultiSz:
      write->value = RegValue::MultiString(values);
      return {};
    case kTypeDword: {
      uint32_t number = 0;
      if (values.size() != 1 || !ParseNumber(line.Field(kFirstValueField), &number)) {
        return Error(line.number, "a REG_DWORD value takes one number");
      }
      write->value = RegValue::Dword(number);
      return {};
    }
    case kTypeBinary: {
      std::vector<UCHAR> bytes;
      for (size_t i = kFirstValueField; i < line.fields.size(); ++i) {
        UCHAR byte = 0;
        if (!ParseHexByte(line.fields[i], &byte)) return Error(line.number, "not a hexadecimal byte: " + line.fields[i]);
        bytes.push_back(byte);
      }
      write->value = RegValue::Binary(bytes);
      return {};
    }
    default:
      return Error(line.number, "unsupported AddReg value type " + line.Field(3));
  }
}

InfError ReadLine(const InfLine &line, RegWrite *write) {
  write->line = line.number;
  if (line.key || line.fields.empty() || !ParseRoot(line.fields[0], &write->root)) {
    return Error(line.number, "an AddReg line starts with HKR, HKLM, HKCR, HKCU or HKU");
  }
  write->subkey = pnp::Widen(line.Field(1));
  write->name = pnp::Widen(line.Field(2));
  uint32_t flags = 0;
  if (!line.Field(3).empty() && !ParseNumber(line.Field(3), &flags)) {
    return Error(line.number, "AddReg flags are not a number: " + line.Field(3));
  }
  if ((flags & ~kSupportedFlags) != 0) return Error(line.number, "unsupported AddReg flags " + line.Field(3));
  write->noClobber = (flags & kNoClobber) != 0;
  write->keyOnly = (flags & kKeyOnly) != 0 || (write->name.empty() && line.fields.size() <= kFirstValueField &&
                                                (flags & kTypeMask) == kTypeSz && line.Field(2).empty());
  if (write->keyOnly) return {};
  return ReadValue(line, flags & kTypeMask, write);
}

std::u16string RootPath(RegRoot root, const std::u16string &relativeKey) {
  switch (root) {
    case RegRoot::Relative: return relativeKey;
    case RegRoot::LocalMachine: return u"\\Registry\\Machine";
    case RegRoot::ClassesRoot: return u"\\Registry\\Machine\\SOFTWARE\\Classes";
    case RegRoot::CurrentUser: return u"\\Registry\\User\\.DEFAULT";  // setup runs as LocalSystem
    case RegRoot::Users: return u"\\Registry\\User";
  }
  return relativeKey;
}

}  // namespace

bool ParseNumber(std::string_view text, uint32_t *value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string_view digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
  uint64_t number = 0;
  for (char c : digits) {
    unsigned char u = static_cast<unsigned char>(c);
    if (hex ? !std::isxdigit(u) : !std::isdigit(u)) return false;
    number = number * (hex ? 16 : 10) + static_cast<uint64_t>(std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10);
  }
  if (number > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

InfError ReadAddReg(const InfFile &inf, const InfLine &directive, std::vector<RegWrite> *writes) {
  for (const std::string &name : directive.fields) {
    if (name.empty()) continue;
    const InfSection *section = inf.Section(name);
    if (section == nullptr) {
      return InfError{kErrorSectionNotFound, directive.number, "AddReg names section [" + name + "], which does not exist"};
    }
    for (const InfLine &line : section->lines) {
      RegWrite write;
      if (InfError e = ReadLine(line, &write); e.Failed()) return e;
      writes->push_back(std::move(write));
    }
  }
  return {};
}

NTSTATUS ApplyAddReg(const std::vector<RegWrite> &writes, const std::u16string &relativeKey) {
  Registry &registry = SystemRegistry();
  for (const RegWrite &write : writes) {
    std::u16string key = RootPath(write.root, relativeKey);
    if (!write.subkey.empty()) key += u"\\" + write.subkey;
    RegCreateOptions options;
    options.withParents = true;
    RegKeyRef ref;
    ULONG disposition = 0;
    NTSTATUS status = registry.CreateKey(nullptr, key, options, &ref, &disposition);
    if (!NT_SUCCESS(status)) return status;
    if (write.keyOnly) continue;
    if (write.noClobber && registry.ReadValue(key, write.name)) continue;
    status = registry.WriteValue(key, write.name, write.value);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace winsim::setup
