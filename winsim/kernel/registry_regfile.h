// Persistence of the registry in the text format of regedit's export:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Vendor]
//   "Name"="text"          @="default value"
//   "Count"=dword:0000002a "Blob"=hex:01,02     "Path"=hex(2):25,00,...
//
// HKEY_LOCAL_MACHINE is \Registry\Machine and HKEY_USERS is \Registry\User;
// loading also accepts HKEY_CLASSES_ROOT (\Registry\Machine\SOFTWARE\Classes).
// Volatile keys are not saved.
//
// regedit writes UTF-16LE with CRLF line ends; winsim writes UTF-8 with LF so
// that a machine's saved state diffs cleanly in git. The loader accepts UTF-8
// (with or without BOM) and UTF-16LE with BOM, CRLF or LF line ends.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "registry_store.h"

namespace winsim {

struct RegFileError {
  ULONG line = 0;  // 1-based; 0 when the problem is not on a line (I/O, encoding of the whole file)
  std::string message;
};

// Text of the tree below \Registry (as Registry::Snapshot(u"\\Registry") gives
// it). Fails only for a name that the format cannot carry (a line break or an
// unpaired surrogate in a key or value name).
NTSTATUS FormatRegFile(const RegKeySnapshot &registryRoot, std::string *text, RegFileError *error);

// Parses a whole file into the edits it describes, in file order; a malformed
// line is STATUS_DATA_ERROR with its line number. Nothing is applied.
NTSTATUS ParseRegFile(std::string_view bytes, std::vector<RegEdit> *edits, RegFileError *error);

// Parses, then applies all edits at once: on any error the registry is unchanged.
NTSTATUS ImportRegText(Registry &registry, std::string_view bytes, RegFileError *error);

// Save replaces the file atomically (a temporary file renamed over it), so a
// crash leaves either the old or the new state.
NTSTATUS SaveRegFile(Registry &registry, const std::string &path, RegFileError *error);
NTSTATUS LoadRegFile(Registry &registry, const std::string &path, RegFileError *error);

}  // namespace winsim
