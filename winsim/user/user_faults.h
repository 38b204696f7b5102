// Fault injection for user-mode APIs: the next calls of a named API fail as
// the real one fails when the system is short of resources, so the callers'
// failure paths run. Counting is per machine.
#pragma once
#include <string>

namespace winsim {

// The next `count` calls of `api` (its exported name) fail.
void FailUserApi(const std::string &api, int count = 1);
// Called by the API itself: true when this call is to fail.
bool UserApiShouldFail(const char *api);
void ResetUserApiFaults();

}  // namespace winsim
