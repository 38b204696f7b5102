#include "command_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
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

#ifdef QAV_TOOL_PATH
ProcessResult RunQav(const CStateFolder &scratch, const std::string &args) {
  const std::string out = scratch.Path() + ".out", err = scratch.Path() + ".err";
  const std::string line = std::string(QAV_TOOL_PATH) + " " + args + " >" + out + " 2>" + err;
  const int status = std::system(line.c_str());
  ProcessResult result;
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return result;
}
#endif

}  // namespace qavtest
