// The qav program itself, run as a user runs it: its options, its command
// table's argument checks and exit codes, and a setting made by one process
// read back by the next through the state folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "command_run.h"

#ifdef QAV_TOOL_PATH

namespace {

using qavtest::ProcessResult;
using qavtest::RunQav;

struct ProcessCase {
  const char *args;  // after --state DIR
  int code;
  const char *out;  // the start of stdout
  const char *err;  // the start of stderr
};

TEST(ToolProcessTest, ExitCodesAndErrorLines) {
  const ProcessCase cases[] = {
      {"mode", 0, "mode: balanced (3 ms per USB transfer", ""},
      {"--sim Alder clock", 0, "* 0: Internal", ""},
      {"mode mixing extra", 2, "", "qav: too many arguments: qav mode [recording|balanced|mixing]\n"},
      {"frobnicate", 2, "", "qav: unknown command 'frobnicate' (qav help lists the commands)\n"},
      {"--verbose mode", 2, "", "qav: unknown option '--verbose' (qav help lists the options)\n"},
      {"--sim", 2, "", "qav: option '--sim' needs a value (qav help lists the options)\n"},
      {"rate 48k", 2, "", "qav: '48k' is not a sample rate in Hz"},
      {"--sim Nowhere list", 2, "", "qav: no simulated model and no readable file named 'Nowhere'"},
      {"mode fast", 2, "", "qav: unknown mode 'fast'"},
      {"help", 0, "", "usage: qav "},
      {"", 2, "", "usage: qav "},
      {"play 0", 2, "", "qav: '0' is not a number of seconds from 1 to 600\n"},
  };
  for (const ProcessCase &c : cases) {
    SCOPED_TRACE(c.args);
    qavtest::CStateFolder state;
    const ProcessResult result = RunQav(state, "--state " + state.Path() + " " + c.args);
    EXPECT_EQ(result.code, c.code) << result.err;
    EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    if (c.code != 0 && std::string(c.err).rfind("usage", 0) != 0) {
      EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one error line: " << result.err;
    }
  }
}

TEST(ToolProcessTest, TheNextProcessReadsTheModeTheLastOneSet) {
  qavtest::CStateFolder state;
  const std::string options = "--state " + state.Path() + " ";
  ASSERT_EQ(RunQav(state, options + "mode recording").code, 0);
  const ProcessResult next = RunQav(state, options + "mode");
  EXPECT_EQ(next.code, 0);
  EXPECT_EQ(next.out, "mode: recording (1 ms per USB transfer; this machine sustains 1 ms and more)\n");
  EXPECT_EQ(next.err, "");
}

// Without --state the folder follows XDG_CACHE_HOME.
TEST(ToolProcessTest, TheDefaultStateFolderIsTheCacheDirectory) {
  qavtest::CStateFolder cache;
  const std::string env = "XDG_CACHE_HOME=" + cache.Path() + " ";
  const std::string line = env + std::string(QAV_TOOL_PATH) + " mode mixing >/dev/null 2>&1";
  ASSERT_EQ(std::system(line.c_str()), 0);
  EXPECT_NE(qavtest::ReadFile(cache.Path() + "/qav/registry.reg").find("\"UrbSize\"=dword:00000005"),
            std::string::npos);
}

}  // namespace

#endif
