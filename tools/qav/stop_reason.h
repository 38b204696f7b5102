// Where the driver's start stopped and why, in words, read from what the
// driver itself traced (its DbgPrint lines, without the "QavAudio: " prefix)
// and the status post start returned. Nothing here looks at descriptors:
// the words are only as good as the driver's own account.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qav {

struct StartVerdict {
  bool started = false;
  std::string reason;              // one line: why it stopped, or what runs
  std::vector<std::string> notes;  // what the driver passed over on the way
};

StartVerdict ExplainStart(uint32_t postStartStatus, const std::vector<std::string> &driverTraces);

// "STATUS_NOT_SUPPORTED" and the like for the codes the start returns; hex otherwise.
std::string StatusName(uint32_t status);

}  // namespace qav
