// Symbolic links of the object manager's DOS-devices directory (\??\, also
// named \DosDevices\ and \GLOBAL??\): what IoCreateSymbolicLink makes and what
// user mode's "\\.\NAME" opens through. Link names compare without case, as
// the object manager's do; a link holds its target's name, not the device, so
// a link whose device is gone resolves to a name that is not found.
#pragma once
#include <cstddef>
#include <string>

namespace winsim {

// "\??\NAME[\rest]": the target of link NAME and in *rest what follows NAME
// (empty or starting with a backslash). False when no such link exists or the
// path is not in the DOS-devices directory.
bool ResolveDosDevice(const std::u16string &path, std::u16string *target, std::u16string *rest);

// Links that exist (between machine runs: 0).
size_t SymbolicLinkCount();

// Forgets every link (machine start and shutdown).
void ResetSymbolicLinks();

}  // namespace winsim
