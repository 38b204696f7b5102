#include "command_run.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "winsim/devices/catalog.h"

namespace qavtest {

std::string CommandResult::Out() const {
  std::string text;
  for (const std::string &line : out) text += line + "\n";
  return text;
}

CStateFolder::CStateFolder() {
  static std::atomic<int> counter{0};
  m_path = (std::filesystem::temp_directory_path() /
            ("qav-state-" + std::to_string(getpid()) + "-" + std::to_string(counter++)))
               .string();
  std::filesystem::remove_all(m_path);
}

CStateFolder::~CStateFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

qav::HostRun DefaultRun(const std::string &stateFolder) {
  qav::HostRun run;
  run.source = qav::SimSource{std::string(winsim::devices::DefaultModelName()), false};
  run.stateFolder = stateFolder;
  return run;
}

CommandResult RunCommand(const qav::HostRun &run, qav::DeviceCommandFn command, const qav::Args &args) {
  CCapture capture;
  capture.result.code = qav::RunOnSimulatedMachine(run, command, args, capture);
  return capture.result;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace qavtest
