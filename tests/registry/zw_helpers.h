// Small helpers for calling the Zw registry API from tests.
#pragma once
#include <wdm.h>

#include <string>
#include <string_view>

#include "winsim/kernel/registry_handles.h"
#include "winsim/kernel/registry_store.h"

// A UNICODE_STRING that owns its text.
class UString {
 public:
  explicit UString(std::u16string_view s) : text_(s) {
    us_.Buffer = text_.data();
    us_.Length = us_.MaximumLength = USHORT(text_.size() * sizeof(WCHAR));
  }
  UString(const UString &) = delete;
  UString &operator=(const UString &) = delete;
  PUNICODE_STRING get() { return &us_; }

 private:
  std::u16string text_;
  UNICODE_STRING us_;
};

inline NTSTATUS OpenKey(HANDLE *handle, std::u16string_view path, HANDLE root = nullptr,
                        ACCESS_MASK access = KEY_ALL_ACCESS) {
  UString name(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwOpenKey(handle, access, &oa);
}

inline NTSTATUS CreateKey(HANDLE *handle, std::u16string_view path, HANDLE root = nullptr,
                          ULONG options = REG_OPTION_NON_VOLATILE, ULONG *disposition = nullptr,
                          PUNICODE_STRING className = nullptr) {
  UString name(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwCreateKey(handle, KEY_ALL_ACCESS, &oa, 0, className, options, disposition);
}

inline NTSTATUS SetValue(HANDLE key, std::u16string_view name, const winsim::RegValue &value) {
  UString n(name);
  return ZwSetValueKey(key, n.get(), 0, value.type, const_cast<UCHAR *>(value.data.data()), ULONG(value.data.size()));
}

// Closes the handle when the test scope ends.
class ScopedKey {
 public:
  ScopedKey() = default;
  ScopedKey(const ScopedKey &) = delete;
  ScopedKey &operator=(const ScopedKey &) = delete;
  ~ScopedKey() {
    if (handle_ != nullptr) ZwClose(handle_);
  }
  HANDLE *put() { return &handle_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};
