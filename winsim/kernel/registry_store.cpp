// The registry tree: keys, values, paths and the all-or-nothing edit batches
// used by .reg loading. Every member function takes mutex_; *Locked helpers
// expect it held.
#include "registry_store.h"

#include <nt/rtl.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>

namespace winsim {
namespace {

// Windows caps the depth of the key tree.
constexpr size_t kMaxKeyDepth = 512;

int CompareNames(std::u16string_view a, std::u16string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const WCHAR ca = RtlUpcaseUnicodeChar(a[i]), cb = RtlUpcaseUnicodeChar(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameName(std::u16string_view a, std::u16string_view b) { return a.size() == b.size() && CompareNames(a, b) == 0; }

// Sorts as Windows enumerates subkeys: by upcased name.
struct NameLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const { return CompareNames(a, b) < 0; }
};

// Splits a relative path into its components; an empty component (doubled,
// leading or trailing separator) or an over-long one is an invalid name.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view> *parts) {
  parts->clear();
  if (path.empty()) return STATUS_SUCCESS;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (part.empty() || part.size() > kRegMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
    parts->push_back(part);
    if (end == std::u16string_view::npos) return STATUS_SUCCESS;
    start = end + 1;
  }
}

LONGLONG WallClockFileTime() {
  constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

std::vector<UCHAR> Utf16Bytes(std::u16string_view s) {
  std::vector<UCHAR> bytes(s.size() * sizeof(WCHAR));
  for (size_t i = 0; i < s.size(); ++i) {
    bytes[2 * i] = UCHAR(s[i] & 0xFF);
    bytes[2 * i + 1] = UCHAR(s[i] >> 8);
  }
  return bytes;
}

void AppendUtf16z(std::vector<UCHAR> *out, std::u16string_view s) {
  const std::vector<UCHAR> bytes = Utf16Bytes(s);
  out->insert(out->end(), bytes.begin(), bytes.end());
  out->push_back(0);
  out->push_back(0);
}

ULONG Bytes(size_t chars) { return ULONG(chars * sizeof(WCHAR)); }

}  // namespace

class RegistryKey {
 public:
  RegName name;
  RegistryKey *parent = nullptr;  // null for \REGISTRY and once deleted
  std::map<RegName, RegKeyRef, NameLess> subKeys;
  std::vector<RegNamedValue> values;
  RegName className;
  LONGLONG lastWriteTime = 0;
  size_t depth = 0;
  bool isVolatile = false;
  bool isHiveRoot = false;  // \REGISTRY, MACHINE and USER: fixed
  bool deleted = false;

  RegNamedValue *FindValue(std::u16string_view valueName) {
    for (RegNamedValue &v : values)
      if (SameName(v.name, valueName)) return &v;
    return nullptr;
  }
  RegKeyRef FindSubKey(std::u16string_view subKeyName) const {
    const auto it = subKeys.find(subKeyName);
    return it == subKeys.end() ? nullptr : it->second;
  }
};

RegValue RegValue::String(std::u16string_view s, ULONG type) {
  RegValue v{type, {}};
  AppendUtf16z(&v.data, s);
  return v;
}

RegValue RegValue::MultiString(const std::vector<std::u16string> &strings) {
  RegValue v{REG_MULTI_SZ, {}};
  for (const std::u16string &s : strings) AppendUtf16z(&v.data, s);
  AppendUtf16z(&v.data, u"");
  return v;
}

RegValue RegValue::Dword(DWORD x) {
  return RegValue{REG_DWORD, {UCHAR(x), UCHAR(x >> 8), UCHAR(x >> 16), UCHAR(x >> 24)}};
}

RegValue RegValue::Qword(ULONGLONG x) {
  RegValue v{REG_QWORD, std::vector<UCHAR>(8)};
  for (size_t i = 0; i < 8; ++i) v.data[i] = UCHAR(x >> (8 * i));
  return v;
}

RegValue RegValue::Binary(std::vector<UCHAR> bytes, ULONG type) { return RegValue{type, std::move(bytes)}; }

Registry::Registry() : root_(std::make_shared<RegistryKey>()), timeSource_(&WallClockFileTime) {
  root_->name = u"REGISTRY";
  root_->isHiveRoot = true;
  for (const char16_t *hive : {u"MACHINE", u"USER"}) {
    auto key = std::make_shared<RegistryKey>();
    key->name = hive;
    key->parent = root_.get();
    key->depth = 1;
    key->isHiveRoot = true;
    root_->subKeys.emplace(key->name, key);
  }
}

Registry::~Registry() { Clear(); }

LONGLONG Registry::Now() const { return timeSource_.load()(); }

void Registry::SetTimeSource(LONGLONG (*now)()) { timeSource_.store(now != nullptr ? now : &WallClockFileTime); }

NTSTATUS Registry::ResolveLocked(const RegKeyRef &base, std::u16string_view path,
                                 std::vector<std::u16string_view> *parts, RegKeyRef *start) {
  if (base != nullptr) {
    if (base->deleted) return STATUS_KEY_DELETED;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *start = base;
    return SplitPath(path, parts);
  }
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  const NTSTATUS status = SplitPath(path.substr(1), parts);
  if (!NT_SUCCESS(status)) return status;
  if (parts->empty() || !SameName((*parts)[0], root_->name)) return STATUS_OBJECT_PATH_NOT_FOUND;
  parts->erase(parts->begin());
  *start = root_;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::OpenKey(const RegKeyRef &base, std::u16string_view path, RegKeyRef *key) {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string_view> parts;
  RegKeyRef node;
  const NTSTATUS status = ResolveLocked(base, path, &parts, &node);
  if (!NT_SUCCESS(status)) return status;
  for (std::u16string_view part : parts) {
    node = node->FindSubKey(part);
    if (node == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *key = node;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::CreateKey(const RegKeyRef &base, std::u16string_view path, const RegCreateOptions &options,
                             RegKeyRef *key, ULONG *disposition) {
  std::lock_guard lock(mutex_);
  return CreateLocked(base, path, options, key, disposition);
}

// Only the last component is created unless options.withParents. Every check
// happens before the first key is created, so a failure changes nothing.
NTSTATUS Registry::CreateLocked(const RegKeyRef &base, std::u16string_view path, const RegCreateOptions &options,
                                RegKeyRef *key, ULONG *disposition) {
  std::vector<std::u16string_view> parts;
  RegKeyRef node;
  NTSTATUS status = ResolveLocked(base, path, &parts, &node);
  if (!NT_SUCCESS(status)) return status;
  ULONG result = REG_OPENED_EXISTING_KEY;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (RegKeyRef next = node->FindSubKey(parts[i])) {
      node = next;
      continue;
    }
    if (i + 1 < parts.size() && !options.withParents) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (node == root_) return STATUS_ACCESS_DENIED;
    if (node->isVolatile && !options.isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    if (node->depth + 1 > kMaxKeyDepth) return STATUS_INVALID_PARAMETER;
    auto child = std::make_shared<RegistryKey>();
    child->name = RegName(parts[i]);
    child->parent = node.get();
    child->depth = node->depth + 1;
    child->isVolatile = options.isVolatile;
    child->lastWriteTime = node->lastWriteTime = Now();
    if (i + 1 == parts.size()) child->className = options.className;
    node->subKeys.emplace(child->name, child);
    node = child;
    result = REG_CREATED_NEW_KEY;
  }
  *key = node;
  if (disposition != nullptr) *disposition = result;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::SetValue(const RegKeyRef &key, std::u16string_view name, ULONG type, const void *data, size_t size) {
  if (name.size() > kRegMaxValueNameChars || (data == nullptr && size != 0)) return STATUS_INVALID_PARAMETER;
  if (size > kRegMaxValueDataBytes) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  const UCHAR *bytes = static_cast<const UCHAR *>(data);
  RegValue value{type, std::vector<UCHAR>(bytes, bytes + size)};
  if (RegNamedValue *existing = key->FindValue(name))
    existing->value = std::move(value);
  else
    key->values.push_back(RegNamedValue{RegName(name), std::move(value)});
  key->lastWriteTime = Now();
  return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValue(const RegKeyRef &key, std::u16string_view name, RegValue *value, RegName *storedName) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  const RegNamedValue *found = key->FindValue(name);
  if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *value = found->value;
  if (storedName != nullptr) *storedName = found->name;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteValue(const RegKeyRef &key, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (SameName(it->name, name)) {
      key->values.erase(it);
      key->lastWriteTime = Now();
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

static RegKeyInfo InfoOf(const RegistryKey &key) {
  RegKeyInfo info;
  info.name = key.name;
  info.className = key.className;
  info.lastWriteTime = key.lastWriteTime;
  info.subKeys = ULONG(key.subKeys.size());
  info.values = ULONG(key.values.size());
  for (const auto &[name, sub] : key.subKeys) {
    info.maxSubKeyNameBytes = std::max(info.maxSubKeyNameBytes, Bytes(name.size()));
    info.maxClassBytes = std::max(info.maxClassBytes, Bytes(sub->className.size()));
  }
  for (const RegNamedValue &v : key.values) {
    info.maxValueNameBytes = std::max(info.maxValueNameBytes, Bytes(v.name.size()));
    info.maxValueDataBytes = std::max(info.maxValueDataBytes, ULONG(v.value.data.size()));
  }
  return info;
}

NTSTATUS Registry::EnumerateSubKey(const RegKeyRef &key, ULONG index, RegKeyInfo *info) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (index >= key->subKeys.size()) return STATUS_NO_MORE_ENTRIES;
  *info = InfoOf(*std::next(key->subKeys.begin(), index)->second);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::EnumerateValue(const RegKeyRef &key, ULONG index, RegName *name, RegValue *value) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  *name = key->values[index].name;
  *value = key->values[index].value;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryKey(const RegKeyRef &key, RegKeyInfo *info) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  *info = InfoOf(*key);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::KeyPath(const RegKeyRef &key, RegName *path) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  std::vector<const RegistryKey *> chain;
  for (const RegistryKey *k = key.get(); k != nullptr; k = k->parent) chain.push_back(k);
  path->clear();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) *path += u'\\' + (*it)->name;
  return STATUS_SUCCESS;
}

void Registry::MarkDeletedLocked(RegistryKey &key) {
  key.deleted = true;
  key.parent = nullptr;
  key.values.clear();
}

NTSTATUS Registry::DeleteKey(const RegKeyRef &key) {
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (key->isHiveRoot || !key->subKeys.empty()) return STATUS_CANNOT_DELETE;
  key->parent->subKeys.erase(key->name);
  key->parent->lastWriteTime = Now();
  MarkDeletedLocked(*key);
  return STATUS_SUCCESS;
}

// Removes a whole subtree, deepest keys first; hive roots stay, emptied.
void Registry::DeleteTreeLocked(const RegKeyRef &key) {
  std::vector<RegKeyRef> children;
  for (const auto &entry : key->subKeys) children.push_back(entry.second);
  for (const RegKeyRef &child : children) DeleteTreeLocked(child);
  if (key->isHiveRoot) {
    key->values.clear();
    return;
  }
  RegistryKey *parent = key->parent;
  MarkDeletedLocked(*key);
  parent->subKeys.erase(key->name);
  parent->lastWriteTime = Now();
}

std::optional<RegValue> Registry::ReadValue(std::u16string_view keyPath, std::u16string_view name) {
  RegKeyRef key;
  RegValue value;
  if (!NT_SUCCESS(OpenKey(nullptr, keyPath, &key)) || !NT_SUCCESS(QueryValue(key, name, &value))) return std::nullopt;
  return value;
}

NTSTATUS Registry::WriteValue(std::u16string_view keyPath, std::u16string_view name, const RegValue &value) {
  RegCreateOptions options;
  options.withParents = true;
  RegKeyRef key;
  const NTSTATUS status = CreateKey(nullptr, keyPath, options, &key, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return SetValue(key, name, value.type, value.data.data(), value.data.size());
}

bool Registry::KeyExists(std::u16string_view keyPath) {
  RegKeyRef key;
  return NT_SUCCESS(OpenKey(nullptr, keyPath, &key));
}

static void CopySubtree(const RegistryKey &key, RegKeySnapshot *out) {
  out->name = key.name;
  out->isVolatile = key.isVolatile;
  out->values = key.values;
  out->subKeys.resize(key.subKeys.size());
  size_t i = 0;
  for (const auto &entry : key.subKeys) CopySubtree(*entry.second, &out->subKeys[i++]);
}

NTSTATUS Registry::Snapshot(std::u16string_view keyPath, RegKeySnapshot *snapshot) {
  RegKeyRef key;
  const NTSTATUS status = OpenKey(nullptr, keyPath, &key);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(mutex_);
  if (key->deleted) return STATUS_KEY_DELETED;
  *snapshot = RegKeySnapshot{};
  CopySubtree(*key, snapshot);
  return STATUS_SUCCESS;
}

// An edit may only touch keys below a hive root; creating keys must not put a
// non-volatile key below a volatile one. Checked against the tree as it is
// before the batch.
NTSTATUS Registry::CheckEditLocked(const RegEdit &edit) {
  std::vector<std::u16string_view> parts;
  RegKeyRef node;
  NTSTATUS status = ResolveLocked(nullptr, edit.keyPath, &parts, &node);
  if (!NT_SUCCESS(status)) return status;
  if (parts.empty()) return STATUS_ACCESS_DENIED;
  if (edit.kind == RegEdit::Kind::DeleteTree) return parts.size() == 1 ? STATUS_CANNOT_DELETE : STATUS_SUCCESS;
  if (edit.valueName.size() > kRegMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  if (edit.value.data.size() > kRegMaxValueDataBytes) return STATUS_INSUFFICIENT_RESOURCES;
  if (edit.kind == RegEdit::Kind::DeleteValue) return STATUS_SUCCESS;
  if (node->depth + parts.size() > kMaxKeyDepth) return STATUS_INVALID_PARAMETER;
  for (std::u16string_view part : parts) {
    RegKeyRef next = node->FindSubKey(part);
    if (next == nullptr)
      return node == root_ ? STATUS_ACCESS_DENIED : (node->isVolatile ? STATUS_CHILD_MUST_BE_VOLATILE : STATUS_SUCCESS);
    node = next;
  }
  return STATUS_SUCCESS;
}

void Registry::ApplyEditLocked(const RegEdit &edit) {
  RegCreateOptions options;
  options.withParents = true;
  RegKeyRef key;
  ULONG disposition = 0;
  std::vector<std::u16string_view> parts;
  switch (edit.kind) {
    case RegEdit::Kind::CreateKey:
      CreateLocked(nullptr, edit.keyPath, options, &key, &disposition);
      return;
    case RegEdit::Kind::SetValue:
      if (!NT_SUCCESS(CreateLocked(nullptr, edit.keyPath, options, &key, &disposition))) return;
      if (RegNamedValue *existing = key->FindValue(edit.valueName))
        existing->value = edit.value;
      else
        key->values.push_back(RegNamedValue{edit.valueName, edit.value});
      key->lastWriteTime = Now();
      return;
    case RegEdit::Kind::DeleteTree:
    case RegEdit::Kind::DeleteValue:
      if (!NT_SUCCESS(ResolveLocked(nullptr, edit.keyPath, &parts, &key))) return;
      for (std::u16string_view part : parts)
        if ((key = key->FindSubKey(part)) == nullptr) return;  // deleting what is absent is not an error
      if (edit.kind == RegEdit::Kind::DeleteTree) {
        DeleteTreeLocked(key);
      } else {
        for (auto it = key->values.begin(); it != key->values.end(); ++it)
          if (SameName(it->name, edit.valueName)) {
            key->values.erase(it);
            break;
          }
      }
      return;
  }
}

NTSTATUS Registry::Apply(const std::vector<RegEdit> &edits, size_t *failedIndex) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < edits.size(); ++i) {
    const NTSTATUS status = CheckEditLocked(edits[i]);
    if (!NT_SUCCESS(status)) {
      if (failedIndex != nullptr) *failedIndex = i;
      return status;
    }
  }
  for (const RegEdit &edit : edits) ApplyEditLocked(edit);
  return STATUS_SUCCESS;
}

void Registry::Clear() {
  std::lock_guard lock(mutex_);
  DeleteTreeLocked(root_);
}

void Registry::SetFlushHandler(std::function<NTSTATUS()> handler) {
  std::lock_guard lock(mutex_);
  flushHandler_ = std::move(handler);
}

NTSTATUS Registry::Flush() {
  std::function<NTSTATUS()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = flushHandler_;
  }
  return handler ? handler() : STATUS_SUCCESS;
}

Registry &SystemRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace winsim
