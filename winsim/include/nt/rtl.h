// Counted-string helpers of the runtime library for the host build, with the
// Windows semantics: lengths are in bytes, strings need not be NUL-terminated,
// and a destination is never written beyond its MaximumLength.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>

#ifndef RTL_CONSTANT_STRING
#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }
#endif

// Points Destination at Source (not copied). Length excludes the terminator,
// MaximumLength includes it; a NULL Source gives an empty string.
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

// Copies as much of Source as fits in Destination's MaximumLength and
// terminates it when room is left; a NULL Source empties Destination.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

// < 0, 0 or > 0 as String1 sorts before, equal to or after String2; with
// CaseInSensitive both are compared upcased.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);

// Append to Destination; STATUS_BUFFER_TOO_SMALL (Destination unchanged) when
// the result would not fit in MaximumLength.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Upcases ASCII letters; other characters are returned unchanged (winsim does
// not carry the full Unicode case table).
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// The Win32 error a user-mode caller sees for a status (ERROR_MR_MID_NOT_FOUND
// for a status Windows has no mapping for).
ULONG RtlNtStatusToDosError(NTSTATUS Status);
