// The registry of the simulated machine: one tree of keys and typed values,
// seen by kernel code through the Zw* functions (registry_zw.cpp), by user mode
// through advapi32, and saved between runs as a .reg file (registry_regfile.h).
//
// Paths are kernel names: \Registry\Machine\... (HKEY_LOCAL_MACHINE) and
// \Registry\User\... (HKEY_USERS). Names compare as on Windows: case-insensitive
// (ASCII folding), case-preserving. Subkeys enumerate in sorted order, values in
// creation order. Every member is thread-safe: one mutex guards the whole tree.
#pragma once
#include <nt/zw.h>
#include <ntdef.h>
#include <ntstatus.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

using RegName = std::u16string;

// Longest key name component and value name, in characters, that Windows accepts.
constexpr size_t kRegMaxKeyNameChars = 255;
constexpr size_t kRegMaxValueNameChars = 16383;
// winsim's bound on one value's data, so that a garbage size cannot exhaust the host.
constexpr size_t kRegMaxValueDataBytes = 16u << 20;

struct RegValue {
  ULONG type = REG_NONE;
  std::vector<UCHAR> data;

  bool operator==(const RegValue &) const = default;

  // Builders for the common types; strings are stored UTF-16LE with their
  // terminator(s), as the Win32 API stores them.
  static RegValue String(std::u16string_view s, ULONG type = REG_SZ);
  static RegValue MultiString(const std::vector<std::u16string> &strings);
  static RegValue Dword(DWORD v);
  static RegValue Qword(ULONGLONG v);
  static RegValue Binary(std::vector<UCHAR> bytes, ULONG type = REG_BINARY);
};

// What ZwQueryKey and ZwEnumerateKey report about one key. Lengths in bytes.
struct RegKeyInfo {
  RegName name;
  RegName className;
  LONGLONG lastWriteTime = 0;
  ULONG subKeys = 0;
  ULONG maxSubKeyNameBytes = 0;
  ULONG maxClassBytes = 0;
  ULONG values = 0;
  ULONG maxValueNameBytes = 0;
  ULONG maxValueDataBytes = 0;
};

struct RegNamedValue {
  RegName name;
  RegValue value;
  bool operator==(const RegNamedValue &) const = default;
};

// A deep copy of a subtree, values and subkeys in enumeration order.
struct RegKeySnapshot {
  RegName name;
  bool isVolatile = false;
  std::vector<RegNamedValue> values;
  std::vector<RegKeySnapshot> subKeys;
  bool operator==(const RegKeySnapshot &) const = default;
};

// One change of a batch that Registry::Apply makes all-or-nothing. Paths are
// absolute kernel paths; CreateKey and SetValue create missing parents.
struct RegEdit {
  enum class Kind { CreateKey, DeleteTree, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  RegName keyPath;
  RegName valueName;
  RegValue value;
  ULONG sourceLine = 0;  // where the edit came from, for diagnostics
};

struct RegCreateOptions {
  bool isVolatile = false;   // not saved; only volatile keys may be created below it
  bool withParents = false;  // create missing intermediate keys (RegCreateKeyEx), not ZwCreateKey
  RegName className;
};

class RegistryKey;  // a key of the tree; its fields are private to the store
using RegKeyRef = std::shared_ptr<RegistryKey>;

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  // With base null, path is absolute (\Registry\...); otherwise it is relative
  // to base, and an empty path names base itself. A missing key is
  // STATUS_OBJECT_NAME_NOT_FOUND; a key deleted while referenced is
  // STATUS_KEY_DELETED for every later operation on it.
  NTSTATUS OpenKey(const RegKeyRef &base, std::u16string_view path, RegKeyRef *key);
  NTSTATUS CreateKey(const RegKeyRef &base, std::u16string_view path, const RegCreateOptions &options, RegKeyRef *key,
                     ULONG *disposition);

  NTSTATUS SetValue(const RegKeyRef &key, std::u16string_view name, ULONG type, const void *data, size_t size);
  // storedName, when given, receives the name as it was created.
  NTSTATUS QueryValue(const RegKeyRef &key, std::u16string_view name, RegValue *value, RegName *storedName = nullptr);
  NTSTATUS DeleteValue(const RegKeyRef &key, std::u16string_view name);

  // STATUS_NO_MORE_ENTRIES once index reaches the count.
  NTSTATUS EnumerateSubKey(const RegKeyRef &key, ULONG index, RegKeyInfo *info);
  NTSTATUS EnumerateValue(const RegKeyRef &key, ULONG index, RegName *name, RegValue *value);
  NTSTATUS QueryKey(const RegKeyRef &key, RegKeyInfo *info);
  NTSTATUS KeyPath(const RegKeyRef &key, RegName *path);

  // As ZwDeleteKey: only a key without subkeys; the hive roots never.
  NTSTATUS DeleteKey(const RegKeyRef &key);

  // Direct access by absolute path for the rest of winsim and for tests.
  std::optional<RegValue> ReadValue(std::u16string_view keyPath, std::u16string_view name);
  NTSTATUS WriteValue(std::u16string_view keyPath, std::u16string_view name, const RegValue &value);
  bool KeyExists(std::u16string_view keyPath);

  // Copy of the subtree at an absolute path (\Registry for everything).
  NTSTATUS Snapshot(std::u16string_view keyPath, RegKeySnapshot *snapshot);
  // Checks every edit first and changes nothing when one is invalid; then
  // applies them in order under one lock. failedIndex names the bad edit.
  NTSTATUS Apply(const std::vector<RegEdit> &edits, size_t *failedIndex);
  // Back to the empty hive roots; keys still referenced become deleted.
  void Clear();

  // ZwFlushKey calls the flush handler (the Machine saves its state folder);
  // without one, flushing succeeds and does nothing.
  void SetFlushHandler(std::function<NTSTATUS()> handler);
  NTSTATUS Flush();

  // Source of LastWriteTime stamps (FILETIME units); the wall clock by default.
  void SetTimeSource(LONGLONG (*now)());

 private:
  NTSTATUS ResolveLocked(const RegKeyRef &base, std::u16string_view path, std::vector<std::u16string_view> *parts,
                         RegKeyRef *start);
  NTSTATUS CreateLocked(const RegKeyRef &base, std::u16string_view path, const RegCreateOptions &options,
                        RegKeyRef *key, ULONG *disposition);
  NTSTATUS CheckEditLocked(const RegEdit &edit);
  void ApplyEditLocked(const RegEdit &edit);
  void DeleteTreeLocked(const RegKeyRef &key);
  void MarkDeletedLocked(RegistryKey &key);
  LONGLONG Now() const;

  std::mutex mutex_;
  RegKeyRef root_;  // \REGISTRY, with MACHINE and USER below it
  std::function<NTSTATUS()> flushHandler_;
  std::atomic<LONGLONG (*)()> timeSource_;
};

// The registry of the simulated machine, shared by kernel and user mode.
Registry &SystemRegistry();

}  // namespace winsim
