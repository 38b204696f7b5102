// Runs a device command of qav on a simulated machine as the tool does, with
// the machine's state in a folder of the test's own, and keeps what the
// command said.
#pragma once
#include <string>
#include <vector>

#include "tools/qav/host_commands.h"

namespace qavtest {

struct CommandResult {
  int code = -1;
  std::vector<std::string> out;
  std::vector<std::string> err;
  // The output lines joined with '\n', for substring checks.
  std::string Out() const;
};

class CCapture : public qav::CConsole {
 public:
  void Out(const std::string &line) override { result.out.push_back(line); }
  void Err(const std::string &line) override { result.err.push_back(line); }
  CommandResult result;
};

// A fresh state folder, removed with everything in it when destroyed.
class CStateFolder {
 public:
  CStateFolder();
  ~CStateFolder();
  CStateFolder(const CStateFolder &) = delete;
  CStateFolder &operator=(const CStateFolder &) = delete;
  const std::string &Path() const { return m_path; }
  std::string RegistryFile() const { return m_path + "/registry.reg"; }

 private:
  std::string m_path;
};

// The default model unless `run.source` names another.
qav::HostRun DefaultRun(const std::string &stateFolder);
CommandResult RunCommand(const qav::HostRun &run, qav::DeviceCommandFn command, const qav::Args &args = {});

std::string ReadFile(const std::string &path);

// What the qav program said when run as a user runs it.
struct ProcessResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `qav ARGS` through the shell with stdout and stderr in files beside
// the scratch folder (the built program: host builds only).
ProcessResult RunQav(const CStateFolder &scratch, const std::string &args);

}  // namespace qavtest
