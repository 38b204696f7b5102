#include "winsim/user/user_faults.h"

#include <map>
#include <mutex>

#include "winsim/kernel/debug_log.h"

namespace winsim {
namespace {

struct Faults {
  std::mutex lock;
  std::map<std::string, int> pending;
};

Faults &TheFaults() {
  static Faults faults;
  return faults;
}

}  // namespace

void FailUserApi(const std::string &api, int count) {
  std::lock_guard<std::mutex> guard(TheFaults().lock);
  TheFaults().pending[api] = count;
}

bool UserApiShouldFail(const char *api) {
  std::lock_guard<std::mutex> guard(TheFaults().lock);
  auto it = TheFaults().pending.find(api);
  if (it == TheFaults().pending.end() || it->second <= 0) return false;
  --it->second;
  DebugLog::Append("faults", std::string("injected failure of ") + api);
  return true;
}

void ResetUserApiFaults() {
  std::lock_guard<std::mutex> guard(TheFaults().lock);
  TheFaults().pending.clear();
}

}  // namespace winsim
