// .reg text writer.
#include <stdio.h>

#include "registry_regfile.h"
#include "registry_utf.h"

namespace winsim {
namespace {

constexpr size_t kMaxColumns = 80;  // regedit's wrap width for hex data, backslash included

struct HiveName {
  const char16_t *kernel;
  const char *regFile;
};
constexpr HiveName kHives[] = {{u"MACHINE", "HKEY_LOCAL_MACHINE"}, {u"USER", "HKEY_USERS"}};

bool HasLineBreakOrNul(std::u16string_view s) {
  return s.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string_view::npos;
}

// A name in the file's encoding, or false when the format cannot carry it.
bool NameText(std::u16string_view name, std::string *out) { return !HasLineBreakOrNul(name) && Utf16ToUtf8(name, out); }

std::string Quoted(const std::string &utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// REG_SZ data is written as "text" only when that reads back to the same
// bytes: one terminating NUL, no other NUL, no line break, valid UTF-16.
bool PlainStringText(const RegValue &value, std::string *utf8) {
  const std::vector<UCHAR> &d = value.data;
  if (value.type != REG_SZ || d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0)
    return false;
  std::u16string text;
  for (size_t i = 0; i + 2 < d.size(); i += 2) text.push_back(char16_t(d[i] | (d[i + 1] << 8)));
  return NameText(text, utf8);
}

// Appends comma-separated bytes to the line in *out, breaking it with a
// trailing backslash and a two-space indent before it would pass kMaxColumns.
void AppendHexBytes(std::string *out, size_t lineStart, const std::vector<UCHAR> &bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    char piece[4];
    snprintf(piece, sizeof piece, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
    const size_t pieceLength = i + 1 < bytes.size() ? 3 : 2;
    if (out->size() - lineStart + pieceLength + 1 > kMaxColumns) {
      *out += "\\\n  ";
      lineStart = out->size() - 2;
    }
    *out += piece;
  }
}

void AppendValue(std::string *out, const std::string &nameText, bool isDefault, const RegValue &value) {
  const size_t lineStart = out->size();
  *out += isDefault ? "@" : Quoted(nameText);
  *out += '=';
  std::string text;
  char prefix[24];
  if (PlainStringText(value, &text)) {
    *out += Quoted(text);
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (DWORD(value.data[3]) << 24);
    snprintf(prefix, sizeof prefix, "dword:%08x", v);
    *out += prefix;
  } else {
    if (value.type == REG_BINARY)
      snprintf(prefix, sizeof prefix, "hex:");
    else
      snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    *out += prefix;
    AppendHexBytes(out, lineStart, value.data);
  }
  *out += '\n';
}

NTSTATUS Unwritable(RegFileError *error, const std::string &keyPath, const char *what) {
  if (error != nullptr) *error = RegFileError{0, "cannot write " + std::string(what) + " of [" + keyPath + "]"};
  return STATUS_OBJECT_NAME_INVALID;
}

NTSTATUS AppendKey(std::string *out, const RegKeySnapshot &key, const std::string &path, RegFileError *error) {
  if (key.isVolatile) return STATUS_SUCCESS;
  *out += "[" + path + "]\n";
  std::string name;
  for (const RegNamedValue &v : key.values) {
    if (!NameText(v.name, &name)) return Unwritable(error, path, "a value name");
    AppendValue(out, name, v.name.empty(), v.value);
  }
  *out += '\n';
  for (const RegKeySnapshot &sub : key.subKeys) {
    if (!NameText(sub.name, &name)) return Unwritable(error, path, "a subkey name");
    const NTSTATUS status = AppendKey(out, sub, path + "\\" + name, error);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FormatRegFile(const RegKeySnapshot &registryRoot, std::string *text, RegFileError *error) {
  std::string out = "Windows Registry Editor Version 5.00\n\n";
  for (const HiveName &hive : kHives) {
    for (const RegKeySnapshot &key : registryRoot.subKeys) {
      if (key.name != hive.kernel) continue;
      const NTSTATUS status = AppendKey(&out, key, hive.regFile, error);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  *text = std::move(out);
  return STATUS_SUCCESS;
}

}  // namespace winsim
