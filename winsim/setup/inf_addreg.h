// AddReg lines of an INF: what each writes, read and checked once, applied
// when an installation step runs. HKR names the key of the step that
// references the section (a device's driver or hardware key, an interface's
// key, a service key).
#pragma once
#include <wdm.h>

#include <string>
#include <vector>

#include "winsim/kernel/registry_store.h"
#include "winsim/setup/inf_file.h"

namespace winsim::setup {

enum class RegRoot : uint8_t { Relative, LocalMachine, ClassesRoot, CurrentUser, Users };

struct RegWrite {
  uint32_t line = 0;
  RegRoot root = RegRoot::Relative;
  std::u16string subkey;
  std::u16string name;
  bool keyOnly = false;    // creates the key, writes no value
  bool noClobber = false;  // keeps a value that exists
  RegValue value;
};

// Reads every line of the AddReg sections a directive names ("A, B"); a
// missing section or a malformed line is refused with its line.
InfError ReadAddReg(const InfFile &inf, const InfLine &directive, std::vector<RegWrite> *writes);

// Applies the writes; HKR is `relativeKey` (an absolute kernel path).
NTSTATUS ApplyAddReg(const std::vector<RegWrite> &writes, const std::u16string &relativeKey);

// Number in decimal or 0x hexadecimal, as INF fields give them.
bool ParseNumber(std::string_view text, uint32_t *value);

}  // namespace winsim::setup
