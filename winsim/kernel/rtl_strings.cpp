// Counted UTF-16 string helpers (see nt/rtl.h).
#include <nt/rtl.h>
#include <string.h>

namespace {

// The longest string a UNICODE_STRING can describe with room for a terminator.
constexpr USHORT kMaxCountedBytes = 0xFFFC;

size_t BoundedLength(PCWSTR s, size_t maxChars) {
  size_t n = 0;
  while (n < maxChars && s[n] != 0) ++n;
  return n;
}

void Terminate(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS AppendChars(PUNICODE_STRING dest, PCWCH src, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (dest->Length > dest->MaximumLength || bytes > size_t(dest->MaximumLength - dest->Length))
    return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<UCHAR *>(dest->Buffer) + dest->Length, src, bytes);
  dest->Length = USHORT(dest->Length + bytes);
  Terminate(dest);
  return STATUS_SUCCESS;
}

}  // namespace

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return (c >= u'a' && c <= u'z') ? WCHAR(c - (u'a' - u'A')) : c; }

void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR src) {
  if (src == nullptr) {
    dest->Length = dest->MaximumLength = 0;
    dest->Buffer = nullptr;
    return;
  }
  const size_t bytes = BoundedLength(src, kMaxCountedBytes / sizeof(WCHAR) + 1) * sizeof(WCHAR);
  dest->Length = bytes > kMaxCountedBytes ? kMaxCountedBytes : USHORT(bytes);
  dest->MaximumLength = USHORT(dest->Length + sizeof(WCHAR));
  dest->Buffer = const_cast<PWSTR>(src);
}

void RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING src) {
  if (src == nullptr || src->Buffer == nullptr) {
    dest->Length = 0;
    return;
  }
  USHORT bytes = src->Length < dest->MaximumLength ? src->Length : dest->MaximumLength;
  bytes &= USHORT(~1u);
  memmove(dest->Buffer, src->Buffer, bytes);
  dest->Length = bytes;
  Terminate(dest);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  const size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
  const size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
    if (caseInsensitive) {
      ca = RtlUpcaseUnicodeChar(ca);
      cb = RtlUpcaseUnicodeChar(cb);
    }
    if (ca != cb) return LONG(ca) - LONG(cb);
  }
  return LONG(na) - LONG(nb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  if (a->Length != b->Length) return FALSE;
  return RtlCompareUnicodeString(a, b, caseInsensitive) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR src) {
  if (src == nullptr) return STATUS_SUCCESS;
  const size_t chars = BoundedLength(src, kMaxCountedBytes / sizeof(WCHAR) + 1);
  return AppendChars(dest, src, chars * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING src) {
  if (src == nullptr || src->Buffer == nullptr) return STATUS_SUCCESS;
  return AppendChars(dest, src->Buffer, src->Length & ~1u);
}
